#include "net/data_port.h"

#include <gtest/gtest.h>

#include "core/settings.h"
#include "platform/plat_socket.h"

namespace {

class DataPortTest : public ::testing::Test {
 protected:
  void SetUp() override { nLow = g_nPortLow, nHigh = g_nPortHigh, nNext = g_nPortNext; }
  void TearDown() override { g_nPortLow = nLow, g_nPortHigh = nHigh, g_nPortNext = nNext; }
  // A free range of three ports: a system-chosen port and the two above it
  // (probed, so the test does not depend on a fixed number).
  int FreeBase() {
    for (int i = 0; i < 20; ++i) {
      int nBase = 0;
      if (ProbePort(1, &nBase) != 0 || nBase > 65000) continue;
      int a = nBase + 1, b = nBase + 2;
      if (ProbePort(1, &a) == 0 && ProbePort(1, &b) == 0) return nBase;
    }
    return -1;
  }
  int nLow = 0, nHigh = 0, nNext = 0;
};

TEST_F(DataPortTest, WithoutRangeTheSystemChooses) {
  g_nPortLow = g_nPortHigh = g_nPortNext = 0;
  int nPort = GetDataPort(1);
  EXPECT_GT(nPort, 0);
  EXPECT_GT(GetDataPort(0), 0);  // IPv6 probe (loopback-only hosts still have ::)
}

TEST_F(DataPortTest, CursorWalksAndWraps) {
  int nBase = FreeBase();
  ASSERT_GT(nBase, 0);
  g_nPortLow = nBase, g_nPortHigh = nBase + 2, g_nPortNext = nBase + 1;
  static const int kWant[] = {1, 2, 0, 1};
  for (int nOffset : kWant) EXPECT_EQ(nBase + nOffset, GetDataPort(1));
  // A cursor outside the range starts again at its bottom.
  g_nPortNext = nBase + 50;
  EXPECT_EQ(nBase, GetDataPort(1));
}

TEST_F(DataPortTest, BusyPortsAreSkippedAndAFullRangeEnds) {
  int nBase = FreeBase();
  ASSERT_GT(nBase, 0);
  // Busy means something listens there.
  PlatSocket busy = kPlatNoSocket;
  ASSERT_EQ(1, PlatBindListener(0, "0.0.0.0", nBase + 1, &busy));
  ASSERT_EQ(1, PlatListen(busy, 1));
  g_nPortLow = nBase, g_nPortHigh = nBase + 1, g_nPortNext = nBase + 1;
  EXPECT_EQ(nBase, GetDataPort(1));
  // Only the busy port left: one sweep, then -1 instead of searching for
  // ever.
  g_nPortLow = g_nPortHigh = g_nPortNext = nBase + 1;
  EXPECT_EQ(-1, GetDataPort(1));
  PlatCloseSocket(busy);
}

TEST_F(DataPortTest, PortInTimeWaitIsFreeForTheNextListener) {
  // An earlier passive transfer on the port: the proxy's side closed the
  // data connection first, so its end lingers in TIME_WAIT on the port.
  PlatSocket sListen = kPlatNoSocket;
  ASSERT_EQ(kListenOk, PlatListenAt("127.0.0.1", 0, 1, &sListen));
  PlatSockAddr addr;
  ASSERT_EQ(1, PlatLocalAddress(sListen, &addr));
  const int nPort = static_cast<int>(PlatAddrPort(&addr));
  PlatSocket sClient = PlatStreamSocket(kFamilyIPv4);
  ASSERT_EQ(1, PlatConnectAddr(sClient, &addr, 5000));
  PlatSockAddr peer;
  PlatSocket sAccepted = PlatAccept(sListen, &peer);
  ASSERT_NE(kPlatNoSocket, sAccepted);
  PlatCloseSocket(sListen);
  PlatShutdownClose(sAccepted);
  char c;
  EXPECT_EQ(0, PlatRecv(sClient, &c, 1, 5000));  // the end reached the client
  PlatCloseSocket(sClient);
  g_nPortLow = g_nPortHigh = g_nPortNext = nPort;
  EXPECT_EQ(nPort, GetDataPort(1));
  ASSERT_EQ(kListenOk, PlatListenAt("127.0.0.1", nPort, 1, &sListen));
  PlatCloseSocket(sListen);
  ASSERT_EQ(kListenOk, PlatListenAny(kFamilyIPv4, nPort, 1, &sListen));
  PlatCloseSocket(sListen);
}

TEST_F(DataPortTest, ParseDataPortTable) {
  g_nPortLow = g_nPortHigh = 0;
  static const struct {
    int bEpsv;
    const char *szText;
    int nHigh, nLow;
  } kCases[] = {
      {0, ",4,1\r\n", 4, 1},  // PORT h1,h2,h3,h4 cut off before ",p1,p2"
      {0, ",255,255\r\n", 255, 255},
      {0, ",256,1\r\n", -1, -1},
      {0, ",4\r\n", -1, -1},
      {0, "", -1, -1},
      {1, "2121|\r\n", 8, 73},  // EPRT/EPSV: the decimal port
      {1, "65535", 255, 255},
      {1, "65536", -1, -1},
      {1, "|", -1, -1},
  };
  for (const auto &c : kCases) {
    int nHigh = 0, nLow = 0;
    EXPECT_GT(ParseDataPort(c.bEpsv, 1, &nHigh, &nLow, c.szText), 0) << c.szText;
    EXPECT_EQ(nHigh, c.nHigh) << c.szText;
    EXPECT_EQ(nLow, c.nLow) << c.szText;
  }
}

}  // namespace
