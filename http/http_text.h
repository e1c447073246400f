// Small text helpers shared by the HTTP handlers.
#ifndef PROXY_HTTP_HTTP_TEXT_H_
#define PROXY_HTTP_HTTP_TEXT_H_

#include <cctype>
#include <climits>
#include <cstddef>
#include <cstring>
#include <strings.h>

#include "core/number_text.h"
#include "core/text_case.h"

// Lower-cases a text in place.
inline void LowerText(char *p) {
  for (; *p; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
}

// Copies a text lower-cased, at most nSize-1 characters.
inline void CopyTextLower(char *pDst, const char *szSrc, std::size_t nSize) {
  std::size_t i = 0;
  for (; i + 1 < nSize && szSrc[i]; ++i) pDst[i] = static_cast<char>(tolower(static_cast<unsigned char>(szSrc[i])));
  pDst[i] = '\0';
}

// Parses a decimal number at p (leading blanks skipped); 0 when none.
inline unsigned long long ParseDecimal(const char *p) {
  while (*p == ' ' || *p == '\t') ++p;
  uint64_t n = 0;
  ReadDecimalDigits(&p, INT_MAX, 1ull << 60, &n);
  return n;
}

// The port of a URL, Host header or CONNECT target, nLen bytes at p: only
// decimal digits (RFC 3986), 1 to 65535.  Returns the port, 0 for an empty
// text, -1 for anything else (a sign, a letter, 0, a larger number: never
// taken modulo 65536).
inline int ParsePortText(const char *p, std::size_t nLen) {
  if (nLen == 0) return 0;
  long n = 0;
  for (std::size_t i = 0; i < nLen; ++i) {
    if (p[i] < '0' || p[i] > '9') return -1;
    n = n * 10 + (p[i] - '0');
    if (n > 65535) return -1;
  }
  return n >= 1 ? static_cast<int>(n) : -1;
}

// Splits a CONNECT target "host:port" or "[v6 address]:port" (RFC 9110
// 9.3.6: the port is required) into the host (brackets taken off, at most
// nHostSize-1 characters) and the port.  Returns the port, or -1 when there
// is none, it is not 1 to 65535, or the host is empty or too long.
inline int SplitConnectTarget(const char *szTarget, char *pHost, std::size_t nHostSize) {
  const char *pHostStart = szTarget;
  const char *pHostEnd;
  const char *pColon;
  if (szTarget[0] == '[') {
    // An IPv6 address: its colons are not the port's; the port follows "]".
    const char *pClose = strchr(szTarget, ']');
    if (pClose == nullptr || pClose[1] != ':') return -1;
    pHostStart = szTarget + 1;
    pHostEnd = pClose;
    pColon = pClose + 1;
  } else {
    pColon = strrchr(szTarget, ':');
    if (pColon == nullptr) return -1;
    pHostEnd = pColon;
    // An IPv6 address without brackets would lend its last group as port.
    if (memchr(szTarget, ':', static_cast<std::size_t>(pColon - szTarget)) != nullptr) return -1;
  }
  std::size_t nHost = static_cast<std::size_t>(pHostEnd - pHostStart);
  int nPort = ParsePortText(pColon + 1, strlen(pColon + 1));
  if (nPort <= 0 || nHost == 0 || nHost >= nHostSize) return -1;
  memcpy(pHost, pHostStart, nHost);
  pHost[nHost] = '\0';
  return nPort;
}

#endif  // PROXY_HTTP_HTTP_TEXT_H_
