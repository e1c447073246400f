#include "relay/relay_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "relay/starttls.h"

namespace {

struct ScanCase {
  const char *szName;
  int nProto, nKind, bClient, bMulti;
  const char *szTag;
  std::vector<std::string> pieces;  // the bytes as they arrive
  int bDone;
  std::size_t nUsedInLast;         // bytes of the last piece that belong to it
  int nCode;
};

TEST(LineScanTest, CompletionRules) {
  const ScanCase kCases[] = {
      {"client command", 1, 0, 1, 0, "", {"EHLO x\r\n"}, 1, 8, 0},
      {"client command in pieces", 1, 0, 1, 0, "", {"EH", "LO x\r", "\n"}, 1, 1, 0},
      {"bare LF does not end a command", 1, 0, 1, 0, "", {"EHLO x\n"}, 0, 7, 0},
      {"pipelined rest stays", 1, 0, 1, 0, "", {"MAIL FROM:<a>\r\nRCPT TO:<b>\r\n"}, 1, 15, 0},
      {"body ends at dot line", 1, 1, 1, 0, "", {"a\r\n.b\r\n", ".\r", "\nQUIT\r\n"}, 1, 1, 0},
      {"dot inside a line is body", 1, 1, 1, 0, "", {"a.\r\nx .\r\n"}, 0, 9, 0},
      {"dot line split across reads", 1, 1, 1, 0, "", {"a\r\n.", "\r\n"}, 1, 2, 0},
      {"smtp one line", 1, 0, 0, 0, "", {"250 OK\r\n"}, 1, 8, 250},
      {"smtp multi-line waits for the last", 1, 0, 0, 0, "", {"250-a\r\n", "250-b\r\n", "250 c\r\n"}, 1, 7, 250},
      {"smtp multi-line not yet done", 1, 0, 0, 0, "", {"250-a\r\n250-b\r\n"}, 0, 14, 0},
      {"smtp 354 for the proxy's DATA", 1, 2, 0, 0, "", {"354 go\r\n"}, 1, 8, 354},
      {"pop3 LIST waits for dot", 2, 0, 0, 1, "", {"+OK 2\r\n1 10\r\n", "2 20\r\n.\r\n"}, 1, 9, 0},
      {"pop3 LIST 1 is one line", 2, 0, 0, 0, "", {"+OK 1 10\r\n"}, 1, 10, 0},
      {"pop3 RETR message", 2, 1, 0, 0, "", {"+OK\r\nSubject: x\r\n\r\n..x\r\n.\r\n"}, 1, 27, 0},
      {"pop3 RETR error at once", 2, 1, 0, 0, "", {"-ERR no such message\r\n"}, 1, 22, 0},
      {"imap untagged lines go on", 3, 0, 0, 0, "a1 ", {"* OK x\r\n* 1 EXISTS\r\n"}, 0, 20, 0},
      {"imap tagged line ends", 3, 0, 0, 0, "a1 ", {"* 1 EXISTS\r\nA1 OK done\r\n"}, 1, 24, 0},
      {"imap continuation", 3, 0, 0, 0, "a1 ", {"+ ready\r\n"}, 1, 9, 0},
      {"imap continuation not for a message", 3, 1, 0, 0, "a1 ", {"+ ready\r\n"}, 0, 9, 0},
      {"imap greeting without tag", 3, 0, 0, 0, "", {"* OK ready\r\n"}, 1, 12, 0},
      {"imap collect only never ends", 3, 2, 0, 0, "a1 ", {"a1 OK\r\n"}, 0, 7, 0},
      {"ftp multi-line", 4, 0, 0, 0, "", {"230-Welcome\r\n230-more\r\n", "230 Done\r\n"}, 1, 10, 230},
      {"ftp needs the blank", 4, 0, 0, 0, "", {"230-Welcome\r\n"}, 0, 13, 0},
      {"imap sync literal ends the line", 3, 0, 1, 0, "", {"a1 APPEND x {5}\r\nhello\r\n"}, 1, 17, 0},
      {"imap non-sync literal is passed", 3, 0, 1, 0, "", {"a1 APPEND x {8+}\r\nab\r\n", "cd\r\n)\r\nb2 NOOP\r\n"}, 1, 7, 0},
      {"imap literal braces mid-line", 3, 0, 1, 0, "", {"a1 X {5} y\r\n"}, 1, 12, 0},
  };
  for (const auto &c : kCases) {
    LineScan scan;
    LineScanInit(&scan, c.nProto, c.nKind, c.bClient, c.bMulti, c.szTag);
    int bDone = 0;
    std::size_t nUsed = 0;
    for (const auto &piece : c.pieces) {
      bDone = LineScanFeed(&scan, piece.data(), piece.size(), &nUsed);
      if (bDone) break;
    }
    EXPECT_EQ(c.bDone, bDone) << c.szName;
    EXPECT_EQ(c.nUsedInLast, nUsed) << c.szName;
    if (c.bDone) {
      EXPECT_EQ(c.nCode, scan.nCode) << c.szName;
    }
  }
}

TEST(LineScanTest, ImapContinuationIsReported) {
  LineScan scan;
  LineScanInit(&scan, 3, 0, 0, 0, "a7 ");
  std::size_t nUsed;
  ASSERT_EQ(1, LineScanFeed(&scan, "+ go on\r\n", 9, &nUsed));
  EXPECT_EQ(1, scan.bContinuation);
}

TEST(LineScanTest, ImapSyncLiteralIsReported) {
  LineScan scan;
  LineScanInit(&scan, 3, 0, 1, 0, "");
  std::size_t nUsed;
  ASSERT_EQ(1, LineScanFeed(&scan, "a1 APPEND INBOX {310}\r\n", 23, &nUsed));
  EXPECT_EQ(310, scan.nSyncLiteral);
  // The literal data that follows the continuation passes whole.
  LineScanInit(&scan, 3, 0, 1, 0, "");
  scan.nLiteral = 6;
  ASSERT_EQ(1, LineScanFeed(&scan, "a\r\nb\r\n\r\nrest", 10, &nUsed));
  EXPECT_EQ(8u, nUsed);
}

TEST(LineScanTest, LongLineKeepsCountingAndCompletes) {
  LineScan scan;
  LineScanInit(&scan, 1, 0, 0, 0, "");
  std::string line = "250 " + std::string(100000, 'x') + "\r\n";
  std::size_t nUsed;
  EXPECT_EQ(1, LineScanFeed(&scan, line.data(), line.size(), &nUsed));
  EXPECT_EQ(line.size(), nUsed);
  EXPECT_EQ(250, scan.nCode);
}

TEST(ClassifyTest, CommandTables) {
  static const struct {
    int nProto;
    const char *szLine;
    int nResult, nMailState, bTop;
    unsigned long nTopMsg;
  } kCases[] = {
      {1, "QUIT\r\n", 1, -1, 0, 0},
      {1, "quit \r\n", 0, -1, 0, 0},  // whole-line match only
      {1, "DATA\r\n", 2, -1, 0, 0},
      {1, "data\r\n", 2, -1, 0, 0},
      {1, "MAIL FROM:<a>\r\n", 0, -1, 0, 0},
      {2, "RETR 1\r\n", 2, -1, 0, 0},
      {2, "TOP 3 10\r\n", 2, -1, 1, 3},
      {2, "retr\r\n", 0, -1, 0, 0},
      {2, "QUIT\r\n", 1, -1, 0, 0},
      {3, "a1 LOGOUT\r\n", 1, 2, 0, 0},
      {3, "a1 FETCH 1 BODY[]\r\n", 2, 3, 0, 0},
      {3, "a1 UID FETCH 1 (RFC822)\r\n", 2, 3, 0, 0},
      {3, "a1 SELECT INBOX\r\n", 2, 4, 0, 0},
      {3, "a1 NOOP\r\n", 0, 1, 0, 0},
      {3, "LOGOUT\r\n", 0, -1, 0, 0},  // no tag
      {4, "QUIT\r\n", 0, -1, 0, 0},    // FTP: handled by the dispatch
      {4, "RETR x\r\n", 0, -1, 0, 0},
  };
  for (const auto &c : kCases) {
    CommandClass cls;
    ClassifyCommand(c.nProto, c.szLine, &cls);
    EXPECT_EQ(c.nResult, cls.nResult) << c.szLine;
    EXPECT_EQ(c.nMailState, cls.nMailState) << c.szLine;
    EXPECT_EQ(c.bTop, cls.bTop) << c.szLine;
    EXPECT_EQ(c.nTopMsg, cls.nTopMsg) << c.szLine;
  }
}

TEST(RelayTextTest, AddressesTagsAndCounts) {
  static const struct {
    const char *szLine, *szAddr;
  } kAddr[] = {
      {"MAIL FROM:<a@x.test>\r\n", "a@x.test"},
      {"MAIL FROM:<>\r\n", ""},
      {"MAIL FROM: <a@x.test> SIZE=10\r\n", "a@x.test"},
      {"RCPT TO:b@y.test\r\n", "b@y.test"},
      {"NOOP\r\n", "NOOP"},
  };
  for (const auto &c : kAddr) {
    char szOut[64];
    MailAddress(c.szLine, szOut, sizeof szOut);
    EXPECT_STREQ(c.szAddr, szOut) << c.szLine;
  }
  char szSmall[4];
  MailAddress("MAIL FROM:<abcdef>\r\n", szSmall, sizeof szSmall);
  EXPECT_STREQ("abc", szSmall);

  char szTag[256];
  ImapTagOf("A001 LOGIN x y\r\n", szTag, sizeof szTag);
  EXPECT_STREQ("A001 ", szTag);
  ImapTagOf("NOOP\r\n", szTag, sizeof szTag);
  EXPECT_STREQ("NOOP ", szTag);
  ImapTagOf(std::string(600, 'a').c_str(), szTag, sizeof szTag);
  EXPECT_EQ(255u, std::strlen(szTag));

  long nLines = -1;
  EXPECT_EQ(1, TopLineCount("TOP 3 10\r\n", &nLines));
  EXPECT_EQ(10, nLines);
  EXPECT_EQ(0, TopLineCount("RETR 3\r\n", &nLines));
  EXPECT_EQ(250, ReplyCode("250 OK"));
  EXPECT_EQ(0, ReplyCode("25"));
  EXPECT_EQ(0, ReplyCode("+OK"));
}

TEST(RelayTextTest, MailIdentifiersAreUnique) {
  char a[64], b[64];
  MakeMailId(a, sizeof a);
  MakeMailId(b, sizeof b);
  EXPECT_EQ(26u, std::strlen(a));
  EXPECT_EQ('.', a[17]);
  EXPECT_STRNE(a, b);
  char szBoundary[96];
  MakeBoundary(szBoundary, sizeof szBoundary);
  EXPECT_EQ(0, std::strncmp(szBoundary, "----_", 5));
  EXPECT_EQ(0, std::strcmp(szBoundary + std::strlen(szBoundary) - 2, "=="));
}

TEST(RelayTextTest, EhloReplyHidesChunking) {
  static const struct {
    const char *szIn, *szOut;
  } kCases[] = {
      {"250-mx\r\n250-CHUNKING\r\n250 HELP\r\n", "250-mx\r\n250 HELP\r\n"},
      {"250-mx\r\n250-SIZE 10\r\n250 chunking\r\n", "250-mx\r\n250 SIZE 10\r\n"},
      {"250-mx\r\n250-BINARYMIME\r\n250 CHUNKING\r\n", "250 mx\r\n"},
      {"250-mx\r\n250 PIPELINING\r\n", "250-mx\r\n250 PIPELINING\r\n"},
      {"500 CHUNKING unknown\r\n", "500 CHUNKING unknown\r\n"},
  };
  for (const auto &c : kCases) {
    std::string buf = c.szIn;
    std::size_t n = FilterEhloReply(buf.data(), buf.size());
    EXPECT_EQ(c.szOut, buf.substr(0, n)) << c.szIn;
  }
}

TEST(StartTlsTest, EhloReplyAlwaysOffersStartTls) {
  static const struct {
    std::vector<std::string> in;
    std::vector<std::string> out;
    int bOffered;
  } kCases[] = {
      {{"250-mx\r\n", "250 SIZE 10\r\n"}, {"250-mx\r\n", "250-SIZE 10\r\n"}, 0},
      {{"250-mx\r\n", "250-STARTTLS\r\n", "250 HELP\r\n"}, {"250-mx\r\n", "250-STARTTLS\r\n", "250 HELP\r\n"}, 1},
      {{"250 mx\r\n"}, {"250-mx\r\n"}, 0},
  };
  for (const auto &c : kCases) {
    int bOffered = 0;
    for (std::size_t i = 0; i < c.in.size(); ++i) {
      char szOut[128];
      int n = RewriteEhloLine(c.in[i].c_str(), &bOffered, szOut, sizeof szOut);
      EXPECT_EQ(c.out[i], std::string(szOut, static_cast<std::size_t>(n)));
    }
    EXPECT_EQ(c.bOffered, bOffered);
  }
}

}  // namespace
