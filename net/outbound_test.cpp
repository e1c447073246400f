#include "net/outbound.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/settings.h"
#include "net/connection_alloc.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "tests/unit/test_support.h"

namespace {

TEST(ConnectTableTest, ParseLine) {
  static const struct {
    const char *szLine;
    int nWant;
    const char *szMyAddr, *szServer, *szPort;
  } kCases[] = {
      {"127.0.0.1 8080=,mail.example 110,relay", 1, "", "mail.example", "110"},
      {"127.0.0.1 8080=10.0.0.5,mail.example 995*,pass", 1, "10.0.0.5", "mail.example", "995*"},
      {"127.0.0.1 110+cert\tkey=,pop.example 110+-", 1, "", "pop.example", "110+-"},
      {"127.0.0.1 8080=10.0.0.5", 1, "10.0.0.5", "", ""},               // MyAddr only
      {"127.0.0.1 8080=10.0.0.5,server.only", 1, "10.0.0.5", "server.only", ""},
      {"127.0.0.1 8080=, 3128", 1, "", "", "3128"},                      // port, no server
      {"127.0.0.1 8080", 0, "", "", ""},                                 // no "="
      {"127.0.0.1 8080=,host 123456789", 0, "", "", ""},                 // port text too long: void
  };
  for (const auto &c : kCases) {
    char szLine[1024];
    snprintf(szLine, sizeof szLine, "%s", c.szLine);
    ConnectEntry e;
    EXPECT_EQ(c.nWant, ParseConnectLine(szLine, &e)) << c.szLine;
    EXPECT_STREQ(c.szMyAddr, e.mMyAddr.c_str()) << c.szLine;
    EXPECT_STREQ(c.szServer, e.mServer.c_str()) << c.szLine;
    EXPECT_STREQ(c.szPort, e.mPort.c_str()) << c.szLine;
  }
  // A 256-character server name does not fit its 255-character field.
  std::string sLong = "127.0.0.1 8080=," + std::string(256, 'a') + " 80";
  ConnectEntry e;
  EXPECT_EQ(0, ParseConnectLine(sLong.data(), &e));
  EXPECT_STREQ("", e.mServer.c_str());
  std::string sFits = "127.0.0.1 8080=," + std::string(255, 'a') + " 80";
  EXPECT_EQ(1, ParseConnectLine(sFits.data(), &e));
  EXPECT_EQ(255u, e.mServer.Length());
}

TEST(ConnectTableTest, PortFlags) {
  static const struct {
    const char *szPort;
    const char *szCut;
    int bPass, bTls, bStartTls, bNoVerify;
  } kCases[] = {
      {"995*", "995", 1, 0, 0, 0},     {"995*+-", "995", 1, 0, 0, 0}, {"110+-", "110", 0, 1, 1, 0},
      {"110-+", "110", 0, 1, 1, 0},    {"465+", "465", 0, 1, 0, 0},   {"25", "25", 0, 0, 0, 0},
      {"465+!", "465", 0, 1, 0, 1},    {"25!-", "25", 0, 0, 1, 1},    {"65535+-!", "65535", 0, 1, 1, 1},
  };
  for (const auto &c : kCases) {
    auto *pRec = AllocConnectionRecord();
    pRec->bPassThrough = pRec->bSvTls = pRec->bSvStartTls = pRec->bSvNoVerify = 1;
    char szPort[16];
    snprintf(szPort, sizeof szPort, "%s", c.szPort);
    ReadPortFlags(pRec, szPort);
    EXPECT_STREQ(c.szCut, szPort);
    EXPECT_EQ(c.bPass, pRec->bPassThrough) << c.szPort;
    EXPECT_EQ(c.bTls, pRec->bSvTls) << c.szPort;
    EXPECT_EQ(c.bStartTls, pRec->bSvStartTls) << c.szPort;
    EXPECT_EQ(c.bNoVerify, pRec->bSvNoVerify) << c.szPort;
    FreeConnectionRecord(pRec);
  }
}

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_restore.Save(g_szSettingsFile, g_nProxyMode, g_nConRetry, g_nTmoServer);
    g_szSettingsFile.Assign(m_dir.Path("http.ini"));
  }
  void Write(const std::string &sText) { testsupport::WriteFile(g_szSettingsFile.c_str(), sText); }
  testsupport::TempDir m_dir{"outbound"};
  testsupport::Restorer m_restore;
};

TEST_F(SettingsFileTest, LookupKeysCommentsAndFirstMatch) {
  Write(" 127.0.0.1 8080=,comment.example 1,blank comment\r\n"
        "\"127.0.0.1 8080=,comment.example 2\r\n"
        "'127.0.0.1 8080=,comment.example 3\r\n"
        "\r\n"
        "10.0.0.1 8080=,other.example 4\r\n"
        "127.0.0.1 80800=,longer.port 5\r\n"
        "127.0.0.1 8080-cert\tkey=,first.example 110+-,the first\r\n"
        "127.0.0.1 8080=,second.example 6\r\n"
        "127.0.0.1 9090\r\n"
        "127.0.0.1 9090=,after.nothing 7\r\n");
  ConnectEntry e;
  ASSERT_EQ(1, GetConnectTable("127.0.0.1", 8080, &e));
  EXPECT_STREQ("first.example", e.mServer.c_str());
  EXPECT_STREQ("110+-", e.mPort.c_str());
  // A matching line without "=" ends the scan with empty outputs... only
  // when it matches a key; "127.0.0.1 9090" alone matches none of them.
  ASSERT_EQ(1, GetConnectTable("127.0.0.1", 9090, &e));
  EXPECT_STREQ("after.nothing", e.mServer.c_str());
  EXPECT_EQ(0, GetConnectTable("192.0.2.1", 8080, &e));
  EXPECT_STREQ("", e.mServer.c_str());
  // The key is compared without regard to case (IPv6 text).
  Write("FE80::1 8080=,v6.example 80\n");
  ASSERT_EQ(1, GetConnectTable("fe80::1", 8080, &e));
  EXPECT_STREQ("v6.example", e.mServer.c_str());
}

TEST_F(SettingsFileTest, MatchWithoutEqualsEndsScan) {
  Write("127.0.0.1 8080+cert\tkey\n127.0.0.1 8080=,later.example 80\n");
  ConnectEntry e;
  EXPECT_EQ(1, GetConnectTable("127.0.0.1", 8080, &e));
  EXPECT_STREQ("", e.mServer.c_str());
  EXPECT_STREQ("", e.mPort.c_str());
}

TEST_F(SettingsFileTest, OverlongLineDoesNotLeakIntoNextLine) {
  // The tail of a 2,000-character comment line must not be read as a line
  // of its own that happens to match.
  std::string sLine = "\"" + std::string(1100, 'x') + "127.0.0.1 8080=,tail.example 80\n";
  Write(sLine + "127.0.0.1 8080=,real.example 80\n");
  ConnectEntry e;
  ASSERT_EQ(1, GetConnectTable("127.0.0.1", 8080, &e));
  EXPECT_STREQ("real.example", e.mServer.c_str());
}

// ConnectHost against real loopback sockets.
class ConnectHostTest : public SettingsFileTest {
 protected:
  void SetUp() override {
    SettingsFileTest::SetUp();
    g_nProxyMode = kModeHttp;
    g_nTmoServer = 2000;
    m_pRec = AllocConnectionRecord();
    m_pRec->nSock = 999;
    m_pRec->nSvSock = -1;
    m_pRec->mLocalIP.Assign("127.0.0.1");
    m_pRec->nLocalPort = 8080;
    m_pRec->nRelayProto = -1;
  }
  void TearDown() override {
    if (m_pRec->nSvSock != -1) PlatShutdownClose(m_pRec->nSvSock);
    FreeConnectionRecord(m_pRec);
    for (int s : m_listeners) PlatCloseSocket(s);
    SettingsFileTest::TearDown();
  }
  // A listening socket on a free loopback port; returns the port.
  int Listen() {
    PlatSocket s;
    EXPECT_EQ(1, PlatBindListener(0, "127.0.0.1", 0, &s));
    EXPECT_EQ(1, PlatListen(s, 16));
    m_listeners.push_back(s);
    PlatSockAddr a;
    PlatLocalAddress(s, &a);
    return static_cast<int>(PlatAddrPort(&a));
  }
  ConnectionRecord *m_pRec = nullptr;
  std::vector<int> m_listeners;
};

TEST_F(ConnectHostTest, KeepAliveReuseAndEmptyHostClose) {
  Write("");
  int nPort = Listen();
  ConnectResult res;
  int s1 = ConnectHost(m_pRec, "127.0.0.1", nPort, 0, &res);
  ASSERT_GE(s1, 0);
  EXPECT_EQ(0, res.bReused);
  m_pRec->nSvSock = s1;
  EXPECT_EQ(s1, ConnectHost(m_pRec, "127.0.0.1", nPort, 1, &res));  // reused, no connect
  EXPECT_EQ(1, res.bReused);
  // Without the reuse permission the same host gets a new connection.
  int s2 = ConnectHost(m_pRec, "127.0.0.1", nPort, 0, nullptr);
  ASSERT_GE(s2, 0);
  EXPECT_NE(s1, s2);
  PlatShutdownClose(s2);
  // An empty host closes the kept connection and clears keep-alive.
  m_pRec->bKeepAlive = 1;
  EXPECT_EQ(-1, ConnectHost(m_pRec, "", 0, 1, nullptr));
  EXPECT_EQ(0, m_pRec->bKeepAlive);
  EXPECT_EQ(-1, m_pRec->nSvSock);
}

TEST_F(ConnectHostTest, UpstreamMarkOnlyWhenTheTableReplacesTheHost) {
  int nPort = Listen();
  const std::string sPort = std::to_string(nPort);
  static const struct {
    const char *szTable;  // "PORT" stands for the listener's port
    const char *szHost;
    int nMode;
    const char *szServer;
    int bUpstream;
  } kCases[] = {
      {"127.0.0.1 8080=,127.0.0.1 PORT,to the test server\n", "unused.invalid", kModeHttp, "127.0.0.1", 1},
      {"127.0.0.1 8080=,127.0.0.1 PORT\n", "127.0.0.1", kModeHttp, "127.0.0.1", 0},  // the same server
      {"", "127.0.0.1", kModeHttp, "127.0.0.1", 0},                                     // no entry
      {"127.0.0.1 8080=,127.0.0.1 PORT\n", "unused.invalid", kModeSmtp, "127.0.0.1", 0},  // relays: no proxy
  };
  for (const auto &c : kCases) {
    std::string sTable = c.szTable;
    std::size_t nAt = sTable.find("PORT");
    if (nAt != std::string::npos) sTable.replace(nAt, 4, sPort);
    Write(sTable);
    g_nProxyMode = c.nMode;
    ConnectResult res;
    int s = ConnectHost(m_pRec, c.szHost, nPort, 0, &res);
    ASSERT_GE(s, 0) << c.szTable;
    EXPECT_STREQ(c.szServer, res.mServer.c_str()) << c.szTable;
    EXPECT_EQ(c.bUpstream, res.bUpstream) << c.szTable;
    EXPECT_EQ(0, res.bReused);
    if (c.nMode == kModeHttp) {
      // Reused, the kept connection still goes to the same server.
      m_pRec->nSvSock = s;
      EXPECT_EQ(s, ConnectHost(m_pRec, c.szHost, nPort, 1, &res)) << c.szTable;
      EXPECT_EQ(1, res.bReused);
      EXPECT_EQ(c.bUpstream, res.bUpstream) << c.szTable;
      m_pRec->nSvSock = -1;
    }
    PlatShutdownClose(s);
  }
}

TEST_F(ConnectHostTest, RefusedPortRetriesWithGrowingPauses) {
  Write("");
  int nPort = Listen();
  PlatCloseSocket(m_listeners.back());  // now nobody listens there
  m_listeners.pop_back();
  g_nConRetry = 3;  // pauses 100 + 200 ms
  int64_t nStart = PlatSteadyMs();
  EXPECT_EQ(-1, ConnectHost(m_pRec, "127.0.0.1", nPort, 0, nullptr));
  int64_t nTook = PlatSteadyMs() - nStart;
  EXPECT_GE(nTook, 300);
  EXPECT_LT(nTook, 3000);
  // A limit of 0 or 1 is a single attempt without pause.
  g_nConRetry = 1;
  nStart = PlatSteadyMs();
  EXPECT_EQ(-1, ConnectHost(m_pRec, "127.0.0.1", nPort, 0, nullptr));
  EXPECT_LT(PlatSteadyMs() - nStart, 100);
}

TEST_F(ConnectHostTest, TooLongHostAndUnresolvable) {
  Write("");
  char szLong[300];
  memset(szLong, 'a', 256);
  szLong[256] = '\0';
  ConnectResult res;
  EXPECT_EQ(-1, ConnectHost(m_pRec, szLong, 80, 0, &res));
  EXPECT_STREQ("", res.mServer.c_str());
  EXPECT_EQ(-1, ConnectHost(m_pRec, "no-such-host.invalid", 80, 0, &res));
  EXPECT_EQ(0, res.bUpstream);
}

}  // namespace

TEST_F(SettingsFileTest, EntriesWithTheCertificateCheckOffAreCounted) {
  Write("127.0.0.1 110=,pop.example 995+!,unchecked\r\n"
        "127.0.0.1 25-cert\tkey=,smtp.example 25-!\r\n"
        "127.0.0.1 26=,smtp.example 25-\r\n"
        "127.0.0.1 27=,smtp.example 25*!\r\n"
        " 127.0.0.1 28=,smtp.example 25+!\r\n");
  EXPECT_EQ(2, LogUncheckedTlsEntries());
}
