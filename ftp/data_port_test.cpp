#include "ftp/data_port.h"

#include <gtest/gtest.h>

#include "core/settings.h"
#include "platform/plat_socket.h"

namespace {

class DataPortTest : public ::testing::Test {
 protected:
  void SetUp() override { m_low = g_nPortLow, m_high = g_nPortHigh, m_next = g_nPortNext; }
  void TearDown() override { g_nPortLow = m_low, g_nPortHigh = m_high, g_nPortNext = m_next; }
  // A free range of three ports found by asking the system.
  int FreeBase() {
    for (int nTry = 0; nTry < 50; ++nTry) {
      int nPort = 0;
      if (ProbePort(1, &nPort) != 0 || nPort > 65000) continue;
      int a = nPort + 1, b = nPort + 2;
      if (ProbePort(1, &a) == 0 && ProbePort(1, &b) == 0) return nPort;
    }
    return -1;
  }
  int m_low = 0, m_high = 0, m_next = 0;
};

TEST_F(DataPortTest, RangeWrapsAndSkipsBusyPorts) {
  int nBase = FreeBase();
  ASSERT_GT(nBase, 0);
  g_nPortLow = g_nPortNext = nBase;
  g_nPortHigh = nBase + 2;
  EXPECT_EQ(GetDataPort(1), nBase);
  EXPECT_EQ(GetDataPort(1), nBase + 1);
  EXPECT_EQ(GetDataPort(1), nBase + 2);
  EXPECT_EQ(GetDataPort(1), nBase);  // wrapped
  // A port in use is skipped.
  PlatSocket sBusy;
  ASSERT_EQ(PlatListenAny(kFamilyIPv4, nBase + 1, 1, &sBusy), 1);
  EXPECT_EQ(GetDataPort(1), nBase + 2);
  // Every port busy: the search ends instead of running for ever.
  PlatSocket s0, s2;
  ASSERT_EQ(PlatListenAny(kFamilyIPv4, nBase, 1, &s0), 1);
  ASSERT_EQ(PlatListenAny(kFamilyIPv4, nBase + 2, 1, &s2), 1);
  EXPECT_EQ(GetDataPort(1), -1);
  PlatCloseSocket(s0);
  PlatCloseSocket(s2);
  PlatCloseSocket(sBusy);
}

TEST_F(DataPortTest, WithoutRangeTheSystemChooses) {
  g_nPortLow = 0;
  g_nPortHigh = 0;
  int nPort = GetDataPort(1);
  EXPECT_GT(nPort, 1023);
  int nAgain = nPort;
  EXPECT_EQ(ProbePort(1, &nAgain), 0);  // free again: the probe closed it
  EXPECT_EQ(nAgain, nPort);
}

TEST_F(DataPortTest, ParseDataPortTable) {
  g_nPortLow = g_nPortHigh = 0;
  static const struct {
    int bEpsv;
    const char *szText;
    int nHigh, nLow;
  } kCases[] = {
      {0, ",4,1\r\n", 4, 1},       // PORT h1,h2,h3,h4 cut off before ",p1,p2"
      {0, ",255,255\r\n", 255, 255},
      {0, ",256,1\r\n", -1, -1},
      {0, ",4\r\n", -1, -1},
      {0, "", -1, -1},
      {1, "2121|\r\n", 8, 73},     // EPRT/EPSV: the decimal port
      {1, "65535", 255, 255},
      {1, "65536", -1, -1},
      {1, "|", -1, -1},
  };
  for (const auto &c : kCases) {
    int nHigh = 0, nLow = 0;
    int nPort = ParseDataPort(c.bEpsv, 1, &nHigh, &nLow, c.szText);
    EXPECT_GT(nPort, 0) << c.szText;
    EXPECT_EQ(nHigh, c.nHigh) << c.szText;
    EXPECT_EQ(nLow, c.nLow) << c.szText;
  }
}

}  // namespace
