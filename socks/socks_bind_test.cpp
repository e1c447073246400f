// The store-and-forward relays on real loopback connections.
#include "socks/socks_bind.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/settings.h"
#include "platform/plat_socket.h"
#include "tests/unit/test_support.h"

namespace {

using testsupport::RecvAll;
using Pair = testsupport::LoopbackPair;

class SocksRelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(m_dir.Path("cache"));
    m_restore.Save(g_szDataDir, g_nTmoClient, g_nTmoServer);
    g_szDataDir.Format("%s/", m_dir.Path().c_str());
    g_nTmoClient = g_nTmoServer = 500;
  }
  bool CacheEmpty() const { return std::filesystem::is_empty(m_dir.Path("cache")); }
  testsupport::TempDir m_dir{"socks_relay_"};
  testsupport::Restorer m_restore;
};

// Each relay moves one direction only, counts what it received and leaves
// no spool file behind.
TEST_F(SocksRelayTest, DirectionsCountsAndSpool) {
  static const struct {
    bool bServer;        // ServerSocksSession (second -> first), else ClientSocksSession
    std::size_t nBytes;  // sent by the source, which then closes its sending side
  } kCases[] = {{true, 3000}, {false, 3000}, {true, 40000}, {false, 0}};
  for (const auto &c : kCases) {
    Pair first, second;  // .a is the relay's end, .b the peer's end
    ASSERT_TRUE(first.Ok() && second.Ok());
    std::string data(c.nBytes, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    PlatSocket src = c.bServer ? second.b : first.b;
    PlatSocket dst = c.bServer ? first.b : second.b;
    if (!data.empty()) {
      ASSERT_EQ(static_cast<int>(data.size()), PlatSend(src, data.data(), static_cast<int>(data.size())));
    }
    PlatShutdown(src);

    auto *pBlock = new TunnelBlock();
    pBlock->nSvSock = first.a;
    pBlock->nSock = second.a;
    int nMoved = c.bServer ? ServerSocksSession(pBlock) : ClientSocksSession(pBlock);
    if (!c.bServer) delete pBlock;  // ClientSocksSession leaves the block to its caller
    EXPECT_EQ(static_cast<int>(c.nBytes), nMoved);
    PlatShutdown(c.bServer ? first.a : second.a);
    EXPECT_EQ(data, RecvAll(dst)) << c.nBytes;
    EXPECT_TRUE(CacheEmpty());
  }
}

// A source that falls silent ends the pass at the receive time-out; what
// came so far is forwarded then.
TEST_F(SocksRelayTest, SilenceEndsThePass) {
  Pair first, second;
  ASSERT_TRUE(first.Ok() && second.Ok());
  ASSERT_EQ(5, PlatSend(second.b, "first", 5));
  auto *pBlock = new TunnelBlock();
  pBlock->nSvSock = first.a;
  pBlock->nSock = second.a;
  EXPECT_EQ(5, ServerSocksSession(pBlock));
  char buf[16] = {};
  EXPECT_EQ(5, PlatRecv(first.b, buf, sizeof buf, 2000));
  EXPECT_STREQ("first", buf);
}

}  // namespace
