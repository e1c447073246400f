// Reading numbers written as text: one hexadecimal digit, one run of
// decimal digits.  Pure functions, shared by every floor.
#ifndef PROXY_CORE_NUMBER_TEXT_H_
#define PROXY_CORE_NUMBER_TEXT_H_

#include <cstdint>

// A stop value for ReadDecimalDigits that no field of ours reaches.
constexpr uint64_t kDecimalStop = 1000000000000000000ull;

// The value of one hexadecimal digit (either case), -1 for anything else.
inline int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads at most nMaxDigits decimal digits at *pp and advances *pp behind
// them.  *pValue gets their value; once it reaches nStop it takes no more
// digits (they are still read).  Returns the count of digits read, 0 when
// *pp holds none.  With nStop at most 10^18 the value cannot overflow.
inline int ReadDecimalDigits(const char **pp, int nMaxDigits, uint64_t nStop, uint64_t *pValue) {
  const char *p = *pp;
  uint64_t n = 0;
  int nDigits = 0;
  while (nDigits < nMaxDigits && *p >= '0' && *p <= '9') {
    if (n < nStop) n = n * 10 + static_cast<uint64_t>(*p - '0');
    ++p;
    ++nDigits;
  }
  *pp = p;
  *pValue = n;
  return nDigits;
}

#endif  // PROXY_CORE_NUMBER_TEXT_H_
