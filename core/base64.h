// Base64 decoding as proxy credentials and logs need it.
#ifndef PROXY_CORE_BASE64_H_
#define PROXY_CORE_BASE64_H_

#include <cstddef>

// Decodes szIn into pOut (at most nOutSize-1 bytes, NUL-terminated).
// Characters outside the Base64 alphabet are skipped; decoding stops at the
// first "=".  Returns the number of bytes written.
size_t Base64Decode(const char *szIn, char *pOut, size_t nOutSize);

// Encodes nLen bytes into pOut (NUL-terminated; cut when it does not fit).
// Returns the length written.
size_t Base64Encode(const void *pIn, size_t nLen, char *pOut, size_t nOutSize);

#endif  // PROXY_CORE_BASE64_H_
