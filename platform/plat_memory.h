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
// Makes a block of PlatAllocPages zero-filled again, for reuse without
// giving its pages back (which makes every processor drop its address
// translations).  Only pages that hold memory and are not zero already are
// written: pages never touched still take none.
void PlatZeroPages(void *p, std::size_t nBytes);

#endif  // PROXY_PLATFORM_PLAT_MEMORY_H_
