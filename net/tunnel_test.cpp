#include "net/tunnel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "tests/unit/test_support.h"

namespace {

// The two copy loops between a client pair and a server pair: both ends'
// closes are passed on as half-closes, and the log lines of each direction
// keep their texts (socket numbers written as N).
TEST(TunnelTest, BothDirectionsHalfCloseAndLogTheirLines) {
  testsupport::TempDir tmp("tunnel_");
  testsupport::Restorer restore;
  restore.Save(g_szLogDir, g_bLogFile, g_bLogConsole, g_nTmoClient, g_nTmoServer);
  std::filesystem::create_directories(tmp.Path("log"));
  g_szLogDir.Assign(tmp.Path("log"));
  g_bLogFile = 1;
  g_bLogConsole = 0;
  g_nTmoClient = g_nTmoServer = 5000;
  DebugLogReopen();

  testsupport::LoopbackPair client, server;  // client.a: the client; server.b: the server
  ASSERT_TRUE(client.Ok() && server.Ok());
  auto *pUp = new TunnelBlock();
  pUp->nSock = client.b;
  pUp->nSvSock = server.a;
  TunnelBlock down = {};
  down.nSock = client.b;
  down.nSvSock = server.a;
  std::thread up([pUp] { ServerSession(pUp); });

  ASSERT_EQ(PlatSend(client.a, "ping", 4), 4);
  PlatShutdownSend(client.a);
  EXPECT_EQ(testsupport::RecvAll(server.b), "ping");  // the client's end reached the server
  ASSERT_EQ(PlatSend(server.b, "pong!", 5), 5);
  PlatShutdownSend(server.b);
  EXPECT_EQ(ClientSession(&down), 5);
  EXPECT_EQ(down.nTotal, 5);
  up.join();
  EXPECT_EQ(testsupport::RecvAll(client.a), "pong!");

  DebugLogReopen();
  std::string sLog;
  for (const auto &e : std::filesystem::directory_iterator(tmp.Path("log")))
    sLog += testsupport::ReadFile(e.path().string());
  const std::string sCl = std::to_string(10000 + client.b).substr(1);
  const std::string sSv = std::to_string(10000 + server.a).substr(1);
  std::vector<std::string> up_lines, down_lines;
  std::regex stamp(R"(^\[\d\d:\d\d:\d\d:\d\d\d\] )");
  size_t nPos = 0;
  while (nPos < sLog.size()) {
    size_t nEnd = sLog.find('\n', nPos);
    std::string sLine = std::regex_replace(sLog.substr(nPos, nEnd - nPos), stamp, "");
    nPos = nEnd == std::string::npos ? sLog.size() : nEnd + 1;
    for (const std::string *p : {&sCl, &sSv}) {
      for (size_t i = sLine.find(*p); i != std::string::npos; i = sLine.find(*p, i + 1))
        sLine.replace(i, p->size(), p == &sCl ? "CL" : "SV");
    }
    if (sLine.rfind("[ServerSession]", 0) == 0) up_lines.push_back(sLine);
    if (sLine.rfind("[ClientSession]", 0) == 0) down_lines.push_back(sLine);
  }
  const std::vector<std::string> kUp = {
      "[ServerSession] [CL] Strat ServerSession(SV).",
      "[ServerSession] [CL] C:recv:4 bytes tunneling.",
      "[ServerSession] [CL] S:send(SV):4 bytes tunneling.",
      "[ServerSession] [CL] C:recv:0 bytes tunneling. / WSAGetLastError() = 0",
      "[ServerSession] [CL] End ServerSession(SV).",
  };
  const std::vector<std::string> kDown = {
      "[ClientSession] [CL] Strat ClientSession(SV).",
      "[ClientSession] [CL] S:recv(SV):5 bytes tunneling.",
      "[ClientSession] [CL] C:send:5 bytes tunneling.",
      "[ClientSession] [CL] S:recv(SV):0 bytes tunneling. / WSAGetLastError() = 0",
      "[ClientSession] [CL] End ClientSession(SV).",
  };
  EXPECT_EQ(up_lines, kUp);
  EXPECT_EQ(down_lines, kDown);
}

}  // namespace

namespace {

// The first piece of a direction decides whether the rest is copied (TLS
// records) or moved inside the kernel (anything else): either way every
// byte arrives, in order.
TEST(TunnelTest, EveryByteArrivesWhateverTheFirstPieceLooksLike) {
  testsupport::Restorer restore;
  restore.Save(g_nTmoClient, g_nTmoServer);
  g_nTmoClient = g_nTmoServer = 5000;
  static const struct {
    const char *szName;
    std::string sFirst;
  } kCases[] = {
      {"plain", "HTTP/1.1 200 OK\r\n"},
      {"TLS handshake record", std::string("\x16\x03\x03\x00\x10", 5)},
      {"TLS application data", std::string("\x17\x03\x03\x40\x00", 5)},
      {"one byte", "\x16"},
  };
  for (const auto &c : kCases) {
    testsupport::LoopbackPair client, server;
    ASSERT_TRUE(client.Ok() && server.Ok());
    std::string sAll = c.sFirst;
    for (int i = 0; sAll.size() < 600000; ++i) sAll += std::to_string(i) + ",";
    std::thread sender([&] {
      PlatSend(server.b, c.sFirst.data(), static_cast<int>(c.sFirst.size()));
      PlatSleepMs(20);  // the first piece arrives alone
      const std::string sRest = sAll.substr(c.sFirst.size());
      PlatSend(server.b, sRest.data(), static_cast<int>(sRest.size()));
      PlatShutdownSend(server.b);
    });
    std::string sGot;
    std::thread reader([&] { sGot = testsupport::RecvAll(client.a); });
    TunnelBlock down = {};
    down.nSock = client.b;
    down.nSvSock = server.a;
    EXPECT_EQ(static_cast<int64_t>(sAll.size()), ClientSession(&down)) << c.szName;
    sender.join();
    reader.join();
    EXPECT_TRUE(sGot == sAll) << c.szName << ": " << sGot.size() << " of " << sAll.size() << " bytes";
  }
}

}  // namespace
