#include "ftp/ftp_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "tests/unit/test_support.h"

namespace {

TEST(FtpPercentDecodeTest, Table) {
  static const struct {
    const char *szIn;
    const char *szWant;
    int nFit;
  } kCases[] = {
      {"/pub/my%20dir/", "/pub/my dir/", 1},
      {"/%E6%97%A5/", "/\xE6\x97\xA5/", 1},
      {"/%e6%97%a5/", "/\xE6\x97\xA5/", 1},  // lower-case digits
      {"/a%2/b", "/a2/b", 1},                // "%" without two digits is dropped
      {"/a%zzb", "/azzb", 1},
      {"100%", "100", 1},
      {"/plain", "/plain", 1},
      {"", "", 1},
      {"/a%0d%0aDELE%20x", "", -1},  // a line end would end the command
      {"/a%0Ab", "", -1},
      {"/a%00b", "", -1},
      {"/a\rb", "", -1},
  };
  for (const auto &c : kCases) {
    char szOut[64];
    EXPECT_EQ(FtpPercentDecode(c.szIn, szOut, sizeof szOut), c.nFit) << c.szIn;
    EXPECT_STREQ(szOut, c.szWant) << c.szIn;
  }
  char szSmall[4];
  EXPECT_EQ(FtpPercentDecode("/abcdef", szSmall, sizeof szSmall), 0);
  EXPECT_STREQ(szSmall, "/ab");
}

TEST(FtpReplyParseTest, PasvAndEpsv) {
  using Parse = int (*)(const char *, char *, std::size_t, int *);
  static const struct {
    Parse parse;
    const char *szReply;
    int nOk;
    const char *szAddr;
    int nPort;
  } kCases[] = {
      {ParsePasvReply, "227 Entering passive mode (127,0,0,1,214,229).\r\n", 1, "127.0.0.1", 214 * 256 + 229},
      {ParsePasvReply, "227 =(10,1,2,3,0,21)\r\n", 1, "10.1.2.3", 21},
      {ParsePasvReply, "227 (1,2,3,4,256,1)\r\n", 0, "", 0},  // a number above 255
      {ParsePasvReply, "227 (1,2,3,4,5)\r\n", 0, "", 0},      // five numbers
      {ParsePasvReply, "227 no parentheses 1,2,3,4,5,6\r\n", 0, "", 0},
      {ParsePasvReply, "227 (1,2,3,4,5,6\r\n", 0, "", 0},     // not closed
      {ParsePasvReply, "227 (-1,2,3,4,5,6)\r\n", 0, "", 0},
      {ParseEpsvReply, "229 Entering extended passive mode (|||6446|).\r\n", 1, "", 6446},
      {ParseEpsvReply, "229 (|2|::1|2121|)\r\n", 1, "::1", 2121},
      {ParseEpsvReply, "229 (!!!21!)\r\n", 1, "", 21},  // another delimiter
      {ParseEpsvReply, "229 (|||0|)\r\n", 0, "", 0},
      {ParseEpsvReply, "229 (|||65536|)\r\n", 0, "", 0},
      {ParseEpsvReply, "229 (|||12x|)\r\n", 0, "", 0},
      {ParseEpsvReply, "229 (|||)\r\n", 0, "", 0},
      {ParseEpsvReply, "229 no parentheses\r\n", 0, "", 0},
  };
  for (const auto &c : kCases) {
    char szAddr[64] = "";
    int nPort = 0;
    EXPECT_EQ(c.parse(c.szReply, szAddr, sizeof szAddr, &nPort), c.nOk) << c.szReply;
    if (c.nOk) {
      EXPECT_STREQ(szAddr, c.szAddr);
      EXPECT_EQ(nPort, c.nPort);
    }
  }
}

// A connected pair of loopback sockets: the test writes "server" bytes into
// one end and reads replies from the other.
class ReplyReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_pair.Ok());
    m_pCtl = new FtpControl;
    FtpControlInit(m_pCtl, m_client, 300);
  }
  void TearDown() override { delete m_pCtl; }
  void Send(const std::string &s) { ASSERT_EQ(PlatSend(m_server, s.data(), static_cast<int>(s.size())), static_cast<int>(s.size())); }
  std::string Reply(int *pResult) {
    char szReply[kFtpReplyLine];
    szReply[0] = '\0';
    *pResult = FtpReadReply(m_pCtl, szReply, sizeof szReply, 0);
    return szReply;
  }
  testsupport::LoopbackPair m_pair;
  PlatSocket &m_client = m_pair.a, &m_server = m_pair.b;
  FtpControl *m_pCtl = nullptr;
};

TEST_F(ReplyReaderTest, RepliesArrivingTogetherAreReadOneByOne) {
  Send("220 ready\r\n331 send password\r\n");
  int r;
  EXPECT_EQ(Reply(&r), "220 ready\r\n");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(Reply(&r), "331 send password\r\n");
  EXPECT_EQ(r, 1);
}

TEST_F(ReplyReaderTest, MultiLineReplyEndsAtItsOwnCode) {
  // Lines between may carry anything, even another code or none.
  Send("230-Welcome\r\n  text line\r\n220 inner line\r\n230-more\r\n230 Login successful.\r\n200 next\r\n");
  int r;
  EXPECT_EQ(Reply(&r), "230 Login successful.\r\n");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(Reply(&r), "200 next\r\n");
}

TEST_F(ReplyReaderTest, ReplySplitAcrossTimeOutContinues) {
  Send("150-start\r\n150 ");
  int r;
  Reply(&r);
  EXPECT_EQ(r, -1);  // time-out in the middle: nothing lost
  Send("go\r\n");
  EXPECT_EQ(Reply(&r), "150 go\r\n");
  EXPECT_EQ(r, 1);
}

TEST_F(ReplyReaderTest, OverlongLineIsCutAndTheRestSkipped) {
  std::string sLong = "500 " + std::string(40000, 'x') + "\r\n";
  std::thread writer([&] { Send(sLong + "200 after\r\n"); });
  int r;
  std::string s1 = Reply(&r);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(s1.size(), kFtpReplyLine - 1);
  EXPECT_EQ(s1.substr(0, 4), "500 ");
  EXPECT_EQ(Reply(&r), "200 after\r\n");
  writer.join();
}

TEST_F(ReplyReaderTest, ClosedServer) {
  Send("221 bye");  // last line without its line end
  PlatShutdownClose(m_server);
  m_server = kPlatNoSocket;
  int r;
  EXPECT_EQ(Reply(&r), "221 bye");
  EXPECT_EQ(r, 1);
  Reply(&r);
  EXPECT_EQ(r, 0);
}

TEST_F(ReplyReaderTest, EndlessMultiLineReplyIsRefused) {
  std::thread writer([&] {
    std::string sLine = "220-" + std::string(1000, 'y') + "\r\n";
    for (std::size_t n = 0; n <= kFtpReplyMax + 4096; n += sLine.size())
      if (PlatSend(m_server, sLine.data(), static_cast<int>(sLine.size())) < 0) break;
  });
  int r;
  Reply(&r);
  EXPECT_EQ(r, -1);
  PlatShutdown(m_client);
  writer.join();
}

// A data thread that never gets its connection ends when the control side
// cancels it, and the block is left alone afterwards.
TEST(FtpDataThreadTest, PortThreadEndsOnCancelAndOnTimeOut) {
  FtpDataBlock block;
  FILE *pOut = tmpfile();
  ASSERT_NE(pOut, nullptr);
  block.pOut = pOut;
  PlatSocket sListen;
  ASSERT_EQ(PlatListenAny(kFamilyIPv4, 0, 0, &sListen), 1);
  block.sListen = sListen;
  std::thread t([&] { EXPECT_EQ(FtpDataByPORT(&block), -6); });
  PlatSleepMs(50);
  EXPECT_EQ(block.bDone.load(), 0);
  {
    std::lock_guard<std::mutex> guard(block.lock);
    block.bCancel.store(1);
    PlatShutdown(block.sListen);
  }
  int64_t nStart = PlatSteadyMs();
  t.join();
  EXPECT_LT(PlatSteadyMs() - nStart, 2000);
  EXPECT_EQ(block.bDone.load(), 1);
  EXPECT_EQ(block.sListen, kPlatNoSocket);
  fclose(pOut);
}

TEST(FtpDataThreadTest, PasvThreadWritesEverythingUntilClose) {
  PlatSocket sListen;
  ASSERT_EQ(PlatListenAt("127.0.0.1", 0, 1, &sListen), 1);
  FtpDataBlock block;
  ASSERT_EQ(PlatLocalAddress(sListen, &block.addr), 1);
  FILE *pOut = tmpfile();
  block.pOut = pOut;
  std::string sData(100000, '\0');
  for (std::size_t i = 0; i < sData.size(); ++i) sData[i] = static_cast<char>(i * 7);
  std::thread server([&] {
    PlatSockAddr peer;
    PlatSocket s = PlatAccept(sListen, &peer);
    PlatSend(s, sData.data(), static_cast<int>(sData.size()));
    PlatShutdownClose(s);
  });
  EXPECT_EQ(FtpDataByPASV(&block), 0);
  server.join();
  PlatCloseSocket(sListen);
  EXPECT_EQ(block.bDone.load(), 1);
  EXPECT_EQ(block.bConnected.load(), 1);
  EXPECT_EQ(block.nBytes, sData.size());
  std::string sGot(sData.size() + 10, 'z');
  rewind(pOut);
  sGot.resize(fread(sGot.data(), 1, sGot.size(), pOut));
  EXPECT_EQ(sGot, sData);
  fclose(pOut);
}

}  // namespace
