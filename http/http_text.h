// Small text helpers shared by the HTTP handlers.
#ifndef PROXY_HTTP_HTTP_TEXT_H_
#define PROXY_HTTP_HTTP_TEXT_H_

#include <cctype>
#include <cstddef>
#include <cstring>
#include <strings.h>

// 1 when szText begins with szPrefix, ignoring case.
inline int StartsNoCase(const char *szText, const char *szPrefix) {
  return strncasecmp(szText, szPrefix, strlen(szPrefix)) == 0;
}

// 1 when the first nLen bytes of pText begin with szPrefix, ignoring case.
inline int StartsNoCaseN(const char *pText, std::size_t nLen, const char *szPrefix) {
  std::size_t n = strlen(szPrefix);
  return nLen >= n && strncasecmp(pText, szPrefix, n) == 0;
}

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
  unsigned long long n = 0;
  while (*p >= '0' && *p <= '9' && n < (1ull << 60)) n = n * 10 + static_cast<unsigned>(*p++ - '0');
  return n;
}

#endif  // PROXY_HTTP_HTTP_TEXT_H_
