// Conversion between character sets (the FTP client retries a directory
// name in code page 932 when the server refuses its UTF-8 form).
#ifndef PROXY_PLATFORM_PLAT_CODEPAGE_H_
#define PROXY_PLATFORM_PLAT_CODEPAGE_H_

// Converts nInLen bytes of pIn from the character set szFrom to szTo
// (iconv names: "UTF-8", "CP932") into pOut, NUL-terminated.
// Returns the bytes written (without the NUL), or -1 when the input is not
// valid in szFrom, a character has no form in szTo, the sets are unknown,
// or the result does not fit in nOutSize (a cut would name another file).
// Never leaves a partial multibyte character behind.
int PlatConvertText(const char *szFrom, const char *szTo, const char *pIn, int nInLen, char *pOut,
                    int nOutSize);

#endif  // PROXY_PLATFORM_PLAT_CODEPAGE_H_
