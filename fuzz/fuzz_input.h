// Small helpers shared by the fuzz targets: the raw input as NUL-terminated
// text, and a cursor that takes selector bytes and pieces off the front.
#ifndef PROXY_FUZZ_FUZZ_INPUT_H_
#define PROXY_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Stops the run: a broken invariant is a finding like a sanitizer report.
#define FUZZ_CHECK(cond)                                                        \
  do {                                                                          \
    if (!(cond)) {                                                              \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                  \
    }                                                                           \
  } while (0)

struct FuzzInput {
  const uint8_t *p;
  std::size_t n;

  // One byte (0 when none is left).
  unsigned Byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  // The next piece as text, up to the next NUL byte or the end.
  std::string Text() {
    std::size_t k = 0;
    while (k < n && p[k] != 0) ++k;
    std::string s(reinterpret_cast<const char *>(p), k);
    p += k < n ? k + 1 : k;
    n -= k < n ? k + 1 : k;
    return s;
  }
  // Whatever is left, as text (NUL bytes kept inside the string).
  std::string Rest() {
    std::string s(reinterpret_cast<const char *>(p), n);
    p += n;
    n = 0;
    return s;
  }
};

#endif  // PROXY_FUZZ_FUZZ_INPUT_H_
