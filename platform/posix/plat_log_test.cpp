#include "platform/plat_log.h"

#include <gtest/gtest.h>

#include <string>

#include "base/limits.h"

namespace {
std::string g_sLines;
void Collect(const char *szLine) { g_sLines += szLine; }
}  // namespace

// Lines reach the installed hook whole; a line longer than the buffer is
// cut but keeps its end; without a hook nothing is written.
TEST(PlatLogTest, HookReceivesFinishedLines) {
  g_sLines.clear();
  PlatLogF("[Before] %d\n", 1);
  EXPECT_EQ(g_sLines, "");
  PlatSetLogHook(Collect);
  PlatLogF("[OpenSSLServer] SOCKET=%d start\n", 7);
  EXPECT_EQ(g_sLines, "[OpenSSLServer] SOCKET=7 start\n");
  g_sLines.clear();
  std::string sLong(kLogLineSize + 10, 'x');
  PlatLogF("%s\n", sLong.c_str());
  EXPECT_EQ(g_sLines.size(), kLogLineSize - 1);
  EXPECT_EQ(g_sLines.back(), '\n');
  PlatSetLogHook(nullptr);
  g_sLines.clear();
  PlatLogF("[After]\n");
  EXPECT_EQ(g_sLines, "");
}
