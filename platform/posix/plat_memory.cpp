#include "platform/plat_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

void *PlatAllocPages(std::size_t nBytes) {
  void *p = mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void PlatFreePages(void *p, std::size_t nBytes) {
  if (p != nullptr) munmap(p, nBytes);
}

namespace {

int AllZero(const unsigned char *p, std::size_t n) {
  uint64_t nAny = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    nAny |= w;
  }
  for (; i < n; ++i) nAny |= p[i];
  return nAny == 0;
}

}  // namespace

void PlatZeroPages(void *p, std::size_t nBytes) {
  const std::size_t nPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t nPages = (nBytes + nPage - 1) / nPage;
  unsigned char aIn[256];
  unsigned char *pBase = static_cast<unsigned char *>(p);
  for (std::size_t nFirst = 0; nFirst < nPages; nFirst += sizeof aIn) {
    std::size_t nCount = nPages - nFirst < sizeof aIn ? nPages - nFirst : sizeof aIn;
    std::size_t nSpan = nCount * nPage;
    if (nFirst * nPage + nSpan > nBytes) nSpan = nBytes - nFirst * nPage;
    int bKnown = mincore(pBase + nFirst * nPage, nSpan, aIn) == 0;
    for (std::size_t i = 0; i < nCount; ++i) {
      if (bKnown && !(aIn[i] & 1)) continue;  // never touched
      unsigned char *pPage = pBase + (nFirst + i) * nPage;
      std::size_t nLen = (nFirst + i + 1) * nPage <= nBytes ? nPage : nBytes - (nFirst + i) * nPage;
      // A page only read maps the shared zero page: writing it would take
      // memory.  Zero pages are read and left.
      if (!AllZero(pPage, nLen)) std::memset(pPage, 0, nLen);
    }
  }
}
