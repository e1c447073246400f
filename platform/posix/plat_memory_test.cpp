#include "platform/plat_memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace {

// A block zeroed for reuse reads as zero everywhere, and the pages its
// last user never touched still take no memory.
TEST(PlatMemoryTest, ZeroedBlockIsZeroAndUntouchedPagesStayOut) {
  const std::size_t nPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  enum Use { kUntouched, kWritten, kReadOnly, kWrittenLastByte };
  static const Use kPages[] = {kWritten, kUntouched, kReadOnly, kWrittenLastByte, kUntouched, kWritten};
  const std::size_t nPages = sizeof kPages / sizeof kPages[0];
  const std::size_t nBytes = nPages * nPage - 100;  // the last page only partly in the block
  unsigned char *p = static_cast<unsigned char *>(PlatAllocPages(nBytes));
  ASSERT_NE(nullptr, p);
  volatile unsigned char nSink = 0;
  for (std::size_t i = 0; i < nPages; ++i) {
    unsigned char *pPage = p + i * nPage;
    std::size_t nLen = i + 1 < nPages ? nPage : nPage - 100;
    if (kPages[i] == kWritten) std::memset(pPage, 0xab, nLen);
    if (kPages[i] == kReadOnly) nSink = nSink + pPage[7];
    if (kPages[i] == kWrittenLastByte) pPage[nLen - 1] = 1;
  }
  PlatZeroPages(p, nBytes);
  unsigned char aIn[8] = {};
  ASSERT_EQ(0, mincore(p, nBytes, aIn));
  for (std::size_t i = 0; i < nPages; ++i) {
    if (kPages[i] == kUntouched) {
      EXPECT_EQ(0, aIn[i] & 1) << "page " << i;
    }
  }
  // (Read last: reading maps the pages.)
  for (std::size_t i = 0; i < nBytes; ++i) ASSERT_EQ(0, p[i]) << "byte " << i;
  PlatFreePages(p, nBytes);
}

}  // namespace
