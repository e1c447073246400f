// Large zero-filled blocks straight from the system.  Their pages take
// memory only once they are first written, so a record whose big buffers an
// idle connection never uses costs little more than the pages it touched.
#ifndef PROXY_PLATFORM_PLAT_MEMORY_H_
#define PROXY_PLATFORM_PLAT_MEMORY_H_

#include <cstddef>

// nBytes of zero-filled memory, or nullptr.  Free with PlatFreePages and
// the same size.
void *PlatAllocPages(std::size_t nBytes);
void PlatFreePages(void *p, std::size_t nBytes);

#endif  // PROXY_PLATFORM_PLAT_MEMORY_H_
