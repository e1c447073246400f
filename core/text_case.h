// ASCII case-insensitive comparisons of texts, shared by every floor.
#ifndef PROXY_CORE_TEXT_CASE_H_
#define PROXY_CORE_TEXT_CASE_H_

#include <cstddef>
#include <cstring>
#include <strings.h>

// 1 when szText begins with szPrefix, ignoring ASCII case.
inline int StartsNoCase(const char *szText, const char *szPrefix) {
  return strncasecmp(szText, szPrefix, strlen(szPrefix)) == 0;
}

// 1 when the first nLen bytes of pText begin with szPrefix, ignoring case.
inline int StartsNoCaseN(const char *pText, std::size_t nLen, const char *szPrefix) {
  std::size_t n = strlen(szPrefix);
  return nLen >= n && strncasecmp(pText, szPrefix, n) == 0;
}

// 1 when a and b are the same text, ignoring ASCII case.
inline int EqualsNoCase(const char *a, const char *b) { return strcasecmp(a, b) == 0; }

#endif  // PROXY_CORE_TEXT_CASE_H_
