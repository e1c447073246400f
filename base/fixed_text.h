// Fixed-size NUL-terminated text that can never overflow.
//
// FixedText<N> is exactly a char[N]: records that hold it stay plain,
// zero-fillable and trivially copyable.  Every writer truncates to N-1
// characters, always terminates, and returns 1 when the whole text fitted
// and 0 when it was cut.  Where a cut would change the meaning (a host, a
// path, a user name), the caller checks the 0 and refuses the request.
#ifndef PROXY_BASE_FIXED_TEXT_H_
#define PROXY_BASE_FIXED_TEXT_H_

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <type_traits>

template <std::size_t N>
struct FixedText {
  static_assert(N >= 1, "FixedText needs room for the terminating NUL");
  char m[N];

  static constexpr std::size_t Capacity() { return N - 1; }

  // Replaces the content.  The source may alias this text.
  int Assign(std::string_view s) {
    std::size_t nCopy = s.size() < N - 1 ? s.size() : N - 1;
    if (nCopy) std::memmove(m, s.data(), nCopy);
    m[nCopy] = '\0';
    return nCopy == s.size();
  }

  // Appends to the content.  The source may alias this text.
  int Append(std::string_view s) {
    std::size_t nLen = Length();
    std::size_t nRoom = N - 1 - nLen;
    std::size_t nCopy = s.size() < nRoom ? s.size() : nRoom;
    if (nCopy) std::memmove(m + nLen, s.data(), nCopy);
    m[nLen + nCopy] = '\0';
    return nCopy == s.size();
  }

  // printf into the text (through a temporary, so an argument may be this
  // text itself).  Returns 1 when the whole result fitted.
  int Format(const char *szFmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, szFmt);
    int nFit = VFormatAt(0, szFmt, ap);
    va_end(ap);
    return nFit;
  }

  int AppendFormat(const char *szFmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, szFmt);
    int nFit = VFormatAt(Length(), szFmt, ap);
    va_end(ap);
    return nFit;
  }

  std::size_t Length() const { return strnlen(m, N); }
  bool Empty() const { return m[0] == '\0'; }
  void Clear() { m[0] = '\0'; }
  const char *c_str() const { return m; }
  char *data() { return m; }
  std::string_view view() const { return std::string_view(m, Length()); }

 private:
  int VFormatAt(std::size_t nAt, const char *szFmt, va_list ap) {
    char tmp[N];
    int n = std::vsnprintf(tmp, N - nAt, szFmt, ap);
    if (n < 0) n = 0;
    std::size_t nCopy = static_cast<std::size_t>(n) < N - 1 - nAt ? static_cast<std::size_t>(n) : N - 1 - nAt;
    std::memcpy(m + nAt, tmp, nCopy);
    m[nAt + nCopy] = '\0';
    return static_cast<std::size_t>(n) == nCopy;
  }
};

static_assert(sizeof(FixedText<64>) == 64);
static_assert(std::is_trivially_copyable_v<FixedText<64>>);

// Copies at most nSize-1 characters of szSrc into a raw buffer, always
// terminating it.  Returns 1 when everything fitted.
inline int CopyText(char *pDst, std::size_t nSize, const char *szSrc) {
  if (nSize == 0) return 0;
  std::size_t nLen = strnlen(szSrc, nSize);
  std::size_t nCopy = nLen < nSize - 1 ? nLen : nSize - 1;
  std::memmove(pDst, szSrc, nCopy);
  pDst[nCopy] = '\0';
  return nLen < nSize;
}

#endif  // PROXY_BASE_FIXED_TEXT_H_
