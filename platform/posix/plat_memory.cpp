#include "platform/plat_memory.h"

#include <sys/mman.h>

void *PlatAllocPages(std::size_t nBytes) {
  void *p = mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void PlatFreePages(void *p, std::size_t nBytes) {
  if (p != nullptr) munmap(p, nBytes);
}
