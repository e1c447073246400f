// Request-target analysis of the GET and other-method handlers: version
// check, URL form, ftp URL parts, URL text and list key for the black and
// white lists, host and port, and the names of the response spool files.
// Pure text work; the handlers do the list lookups and the file reading.
#ifndef PROXY_HTTP_TARGET_H_
#define PROXY_HTTP_TARGET_H_

#include "base/fixed_text.h"
#include "base/limits.h"

enum HttpHandlerKind { kHandlerGet = 0, kHandlerOther = 1 };

struct RequestTarget {
  FixedText<16> mVersion;                  // e.g. "HTTP/1.1" (first ten characters)
  int bAbsolute;                           // "://" within the first 13 characters
  int bFtp;                                // ftp URL (GET only): fetched by the FTP client
  int bListLookup;                         // 0: origin form outside SOCKS, no lists
  int bKeyUsed;                            // 0: lists are asked with the URL text alone
  FixedText<kHttpTextSize> mHost;          // host text (cut to the host by SplitHostPort)
  FixedText<kHttpTextSize> mUrl;           // URL text for the lists
  FixedText<kHttpListKeySize> mListKey;    // "local,get,tcp,host,port"
  FixedText<kFtpPartSize> mFtpUser;
  FixedText<kFtpPartSize> mFtpPass;
  FixedText<kFtpPartSize> mFtpDir;
  FixedText<kFtpPartSize> mFtpFile;
  FixedText<8> mFtpCmd;                    // "RETR" or "LIST"
  int nPort;
};

// Analyses the request line szLine (with its "\r\n").  bSocks: the request
// came over a SOCKS connection; szHostHeader is then the value of its
// "host:" header ("" when none).  szLocalIP is the first field of the list
// key.  Returns 1 when analysed, 0 when the last word is no HTTP version
// (the handler returns without a reply), -1 when a part that changes the
// meaning (ftp user, password, directory or file name) does not fit its
// buffer or decodes to a CR, LF or NUL, or a port is not 1 to 65535
// (refused the same way).
int AnalyzeRequestTarget(const char *szLine, int nHandler, int bSocks, const char *szHostHeader,
                         const char *szLocalIP, RequestTarget *pTarget);

// Response spool file name R for the host text (before SplitHostPort cuts
// it).  Sets *pbLongLink when the path was cut to 200 characters.  Returns
// 1, or 0 when the name did not fit (the caller refuses the request).
int MakeResponseSpoolName(const char *szDataDir, int nMode, int nSock, const char *szHostText,
                          char *pOut, std::size_t nOutSize, int *pbLongLink);

// Cuts the host text at its first "/" and takes the port after a colon:
// the GET rule (bAnyColon 0) takes it only when exactly one ":" remains
// (IPv6 text keeps the default port), the other-method rule (bAnyColon 1)
// splits at the first ":" always.  An empty port keeps the default.
// Returns 1, or -1 when the port is not 1 to 65535 (the request is
// refused, never sent to the port's low 16 bits).
int SplitHostPort(RequestTarget *pTarget, int bAnyColon);

#endif  // PROXY_HTTP_TARGET_H_
