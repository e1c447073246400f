#include "ftp/ftp_data.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "core/settings.h"
#include "platform/plat_file.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "tests/unit/test_support.h"

namespace {

TEST(FtpFlagFileTest, ParseTable) {
  static const struct {
    const char *szText;
    int nOk, nDirection, nCacheUse;
    const char *szCacheFn;
    int nPort;
  } kCases[] = {
      {"1\n0\n/d/ftpcache/ab.dat\n4000\n", 1, 1, 0, "/d/ftpcache/ab.dat", 4000},
      {"0\n1\n/c.dat\n", 1, 0, 1, "/c.dat", 0},
      {"1\n\n\n", 1, 1, 0, "", 0},         // upload or listing: empty lines
      {"0\n\n\n77\n", 1, 0, 0, "", 77},
      {"1\n", 1, 1, 0, "", 0},
      {"1\r\n1\r\n/x.dat\r\n", 1, 1, 1, "/x.dat", 0},
      {"2\n\n\n", 0, -1, 0, "", 0},
      {"", 0, -1, 0, "", 0},
      {"10\n", 0, -1, 0, "", 0},
  };
  for (const auto &c : kCases) {
    int nDir = 9, nUse = 9, nPort = 9;
    char szName[64] = "junk";
    EXPECT_EQ(ParseFlagFile(c.szText, &nDir, &nUse, szName, sizeof szName, &nPort), c.nOk) << c.szText;
    EXPECT_EQ(nDir, c.nDirection) << c.szText;
    EXPECT_EQ(nUse, c.nCacheUse) << c.szText;
    EXPECT_STREQ(szName, c.szCacheFn) << c.szText;
    EXPECT_EQ(nPort, c.nPort) << c.szText;
  }
  int nDir, nUse, nPort;
  char szSmall[4];
  EXPECT_EQ(ParseFlagFile("1\n0\n/long/name\n", &nDir, &nUse, szSmall, sizeof szSmall, &nPort), 0);
}

// A data thread in a private data folder.
class DataThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(m_tmp.Path("cache"));
    m_restore.Save(g_szDataDir, g_nTmoServer, g_nTmoClient, g_nProxyMode);
    g_szDataDir.Format("%s/", m_dir.c_str());
    g_nProxyMode = kModeFtp;
    g_nTmoServer = g_nTmoClient = 2000;
  }

 public:
  void Fill(EndpointRecord *pEp, int nMode, int nPort, int nSvPort) { Prepare(pEp, nMode, nPort, nSvPort); }
  int Port() { return FreePort(); }

 protected:
  void Prepare(EndpointRecord *pEp, int nMode, int nPort, int nSvPort) {
    memset(pEp, 0, sizeof *pEp);
    pEp->nListenOnce = nMode;
    pEp->nSock = 7;
    PathText name;
    FtpHandOffName(&name, "flg", 99);
    strcpy(pEp->mFlagFn, name.c_str());
    FtpHandOffName(&name, "lck", 99);
    strcpy(pEp->mLockFn, name.c_str());
    snprintf(pEp->mIP, sizeof pEp->mIP, "127.0.0.1 %d", nPort);
    pEp->nPort = nPort;
    strcpy(pEp->mSvIP, "127.0.0.1");
    pEp->nSvPort = nSvPort;
    strcpy(pEp->mAcceptIP, "127.0.0.1");
  }
  static int FreePort() { return testsupport::FreePort(); }
  testsupport::TempDir m_tmp{"ftp_data_"};
  std::filesystem::path m_dir = m_tmp.Path();
  testsupport::Restorer m_restore;
};

TEST_F(DataThreadTest, HandOffNames) {
  PathText name;
  ASSERT_EQ(FtpHandOffName(&name, "flg", 12), 1);
  EXPECT_EQ(std::string(name.c_str()), m_dir.string() + "/cache/req-4-0012.flg");
}

TEST_F(DataThreadTest, BusyPortReportsBindFailure) {
  PlatSocket sBusy;
  ASSERT_EQ(PlatListenAt("127.0.0.1", 0, 1, &sBusy), 1);
  PlatSockAddr a;
  PlatLocalAddress(sBusy, &a);
  EndpointRecord ep;
  Prepare(&ep, 2, static_cast<int>(PlatAddrPort(&a)), 1);
  ASSERT_EQ(FtpStartDataThread(&ep), 0);
  int nStatus = 99;
  ASSERT_EQ(FtpWaitStatus(ep.mLockFn, 5000, &nStatus), 1);
  EXPECT_EQ(nStatus, -3);
  EXPECT_FALSE(PlatFileExists(ep.mLockFn));
  PlatCloseSocket(sBusy);
}

TEST_F(DataThreadTest, BadAddressReportsResolveFailure) {
  EndpointRecord ep;
  Prepare(&ep, 2, FreePort(), 1);
  snprintf(ep.mIP, sizeof ep.mIP, "no.such.address %d", ep.nPort);
  ASSERT_EQ(FtpStartDataThread(&ep), 0);
  int nStatus = 99;
  ASSERT_EQ(FtpWaitStatus(ep.mLockFn, 5000, &nStatus), 1);
  EXPECT_EQ(nStatus, -1);
}

TEST_F(DataThreadTest, StatusWaitIsBounded) {
  int nStatus = 0;
  int64_t nStart = PlatSteadyMs();
  EXPECT_EQ(FtpWaitStatus((m_dir / "cache/none.lck").c_str(), 200, &nStatus), 0);
  EXPECT_LT(PlatSteadyMs() - nStart, 2000);
}

TEST_F(DataThreadTest, SocksDirectionOutlivesTheFileForTheOtherReader) {
  // The relay's SOCKS data tunnel and the data thread read the direction
  // file in either order, and the one that ends first deletes it.
  const int nPort = FreePort();
  PathText flag;
  ASSERT_EQ(FtpSocksFlagName(&flag, nPort), 1);
  EXPECT_EQ(std::string(flag.c_str()), m_dir.string() + "/cache/socks-" + std::to_string(nPort) + ".flg");
  static const struct {
    const char *szFile;  // written by the control relay, or nullptr
    int nFirst, nSecond; // what the two readers get
  } kCases[] = {
      {"1\n", '1', '1'},
      {"0\n", '0', '0'},
      {nullptr, -1, -1},  // never written: both give up in time
  };
  g_nProxyMode = kModeSocks;
  for (const auto &c : kCases) {
    // A data thread starting on the port forgets what an earlier one knew.
    EndpointRecord ep;
    Prepare(&ep, 2, nPort, 1);
    snprintf(ep.mIP, sizeof ep.mIP, "no.such.address %d", nPort);
    PlatWriteWholeFile(flag.c_str(), "1\n", 2);  // left over
    ASSERT_EQ(FtpStartDataThread(&ep), 0);
    int nStatus = 0;
    ASSERT_EQ(FtpWaitStatus(ep.mLockFn, 5000, &nStatus), 1);
    EXPECT_FALSE(PlatFileExists(flag.c_str()));
    if (c.szFile) PlatWriteWholeFile(flag.c_str(), c.szFile, strlen(c.szFile));
    int64_t nStart = PlatSteadyMs();
    EXPECT_EQ(FtpSocksDirection(nPort, 200), c.nFirst) << c.szFile;
    PlatDeleteRetry(flag.c_str(), 1);
    EXPECT_EQ(FtpSocksDirection(nPort, 200), c.nSecond) << c.szFile;
    EXPECT_LT(PlatSteadyMs() - nStart, 2000);
  }
}

// Passive download end to end: the "client" connects to the data thread,
// which connects to the "server", reads the flag file and relays the whole
// payload only after the server closed.  A flag file meant for another data
// port (a later PASV) ends the thread without a transfer and stays.
class PassiveRun {
 public:
  PassiveRun(DataThreadTest *pTest, const std::string &sPayload, int nFlagPortDelta, EndpointRecord *pEp)
      : m_payload(sPayload) {
    EXPECT_EQ(PlatListenAt("127.0.0.1", 0, 1, &m_server), 1);
    PlatSockAddr a;
    PlatLocalAddress(m_server, &a);
    m_dataPort = pTest->Port();
    pTest->Fill(pEp, 2, m_dataPort, static_cast<int>(PlatAddrPort(&a)));
    m_flag = "1\n\n\n" + std::to_string(m_dataPort + nFlagPortDelta) + "\n";
    m_pEp = pEp;
  }
  std::string Run() {
    EXPECT_EQ(FtpStartDataThread(m_pEp), 0);
    int nStatus = 99;
    EXPECT_EQ(FtpWaitStatus(m_pEp->mLockFn, 5000, &nStatus), 1);
    EXPECT_EQ(nStatus, 0);
    std::thread server([&] {
      PlatSockAddr peer;
      PlatSocket s = PlatAccept(m_server, &peer);
      PlatWriteWholeFile(m_pEp->mFlagFn, m_flag.data(), m_flag.size());
      PlatSend(s, m_payload.data(), static_cast<int>(m_payload.size()));
      PlatShutdownClose(s);
    });
    PlatSockAddr dataAddr;
    EXPECT_EQ(PlatMakeAddr("127.0.0.1", m_dataPort, &dataAddr), 1);
    PlatSocket c = PlatStreamSocket(kFamilyIPv4);
    EXPECT_EQ(PlatConnectAddr(c, &dataAddr, 2000), 1);
    std::string sGot;
    char buf[65536];
    int n;
    while ((n = PlatRecv(c, buf, sizeof buf, 5000)) > 0) sGot.append(buf, static_cast<std::size_t>(n));
    server.join();
    PlatCloseSocket(c);
    PlatCloseSocket(m_server);
    return sGot;
  }

 private:
  std::string m_payload, m_flag;
  PlatSocket m_server = kPlatNoSocket;
  int m_dataPort = 0;
  EndpointRecord *m_pEp = nullptr;
};

TEST_F(DataThreadTest, PassiveDownloadStoreAndForward) {
  std::string sPayload(200000, 'p');
  for (std::size_t i = 0; i < sPayload.size(); ++i) sPayload[i] = static_cast<char>(i % 251);
  EndpointRecord ep;
  PassiveRun run(this, sPayload, 0, &ep);
  std::string sGot = run.Run();
  EXPECT_EQ(sGot.size(), sPayload.size());
  EXPECT_TRUE(sGot == sPayload);
  EXPECT_FALSE(PlatFileExists(ep.mFlagFn));
}

TEST_F(DataThreadTest, FlagOfAnotherDataPortEndsTheThread) {
  EndpointRecord ep;
  PassiveRun run(this, "payload", 1, &ep);
  EXPECT_EQ(run.Run(), "");
  EXPECT_TRUE(PlatFileExists(ep.mFlagFn));
}

// Nobody connects: the listener gives up after "Timeout Server(Plain)".
TEST_F(DataThreadTest, UnusedListenerCloses) {
  g_nTmoServer = 300;
  EndpointRecord ep;
  int nPort = FreePort();
  Prepare(&ep, 2, nPort, 1);
  ASSERT_EQ(FtpStartDataThread(&ep), 0);
  int nStatus = 99;
  ASSERT_EQ(FtpWaitStatus(ep.mLockFn, 5000, &nStatus), 1);
  ASSERT_EQ(nStatus, 0);
  PlatSleepMs(800);
  int nProbe = nPort;
  PlatSocket s;
  EXPECT_EQ(PlatListenAt("127.0.0.1", nProbe, 1, &s), 1);  // the port is free again
  PlatCloseSocket(s);
}

}  // namespace
