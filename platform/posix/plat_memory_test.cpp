#include "platform/plat_memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace {

// A block zeroed for reuse reads as zero, written pages (whole, or only a
// last byte) included, and pages never touched still take no memory.
TEST(PlatMemoryTest, ZeroedBlockIsZeroAndUntouchedPagesStayOut) {
  const std::size_t nPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  static const int kWritten[] = {1, 0, 2, 0, 1};  // 0 untouched, 1 whole page, 2 its last byte
  const std::size_t nPages = sizeof kWritten / sizeof kWritten[0];
  const std::size_t nBytes = nPages * nPage - 100;  // the last page only partly in the block
  unsigned char *p = static_cast<unsigned char *>(PlatAllocPages(nBytes));
  ASSERT_NE(nullptr, p);
  for (std::size_t i = 0; i < nPages; ++i) {
    std::size_t nLen = i + 1 < nPages ? nPage : nPage - 100;
    if (kWritten[i] == 1) std::memset(p + i * nPage, 0xab, nLen);
    if (kWritten[i] == 2) p[i * nPage + nLen - 1] = 1;
  }
  PlatZeroPages(p, nBytes);
  unsigned char aIn[8] = {};
  ASSERT_EQ(0, mincore(p, nBytes, aIn));
  for (std::size_t i = 0; i < nPages; ++i) EXPECT_EQ(kWritten[i] != 0, (aIn[i] & 1) != 0) << "page " << i;
  // (Read last: reading maps the pages.)
  for (std::size_t i = 0; i < nBytes; ++i) ASSERT_EQ(0, p[i]) << "byte " << i;
  PlatFreePages(p, nBytes);
}

}  // namespace
