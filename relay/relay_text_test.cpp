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

TEST(RelayTextTest, CapabilityListsMatchTheOffer) {
  static const struct {
    int nProto;
    const char *szIn;
    int bOffer;
    const char *szOut;
  } kCases[] = {
      {1, "250-mx\r\n250-CHUNKING\r\n250 HELP\r\n", 0, "250-mx\r\n250 HELP\r\n"},
      {1, "250-mx\r\n250-SIZE 10\r\n250 chunking\r\n", 0, "250-mx\r\n250 SIZE 10\r\n"},
      {1, "250-mx\r\n250-BINARYMIME\r\n250 CHUNKING\r\n", 0, "250 mx\r\n"},
      {1, "250-mx\r\n250 PIPELINING\r\n", 0, "250-mx\r\n250 PIPELINING\r\n"},
      {1, "500 CHUNKING unknown\r\n", 1, "500 CHUNKING unknown\r\n"},
      // STARTTLS is listed exactly when the proxy offers it.
      {1, "250-mx\r\n250 STARTTLS\r\n", 0, "250 mx\r\n"},
      {1, "250-mx\r\n250-STARTTLS\r\n250 HELP\r\n", 1, "250-mx\r\n250-HELP\r\n250 STARTTLS\r\n"},
      {1, "250 mx\r\n", 1, "250-mx\r\n250 STARTTLS\r\n"},
      {2, "+OK\r\nTOP\r\nSTLS\r\nUSER\r\n.\r\n", 0, "+OK\r\nTOP\r\nUSER\r\n.\r\n"},
      {2, "+OK\r\nTOP\r\nUSER\r\n.\r\n", 1, "+OK\r\nTOP\r\nUSER\r\nSTLS\r\n.\r\n"},
      {2, "+OK\r\nstls\r\n.\r\n", 1, "+OK\r\nSTLS\r\n.\r\n"},
      {2, "-ERR no\r\n", 1, "-ERR no\r\n"},
      {3, "* CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED\r\n", 0, "* CAPABILITY IMAP4rev1 LOGINDISABLED\r\n"},
      {3, "* OK [CAPABILITY IMAP4rev1 SASL-IR starttls] ready\r\n", 0, "* OK [CAPABILITY IMAP4rev1 SASL-IR] ready\r\n"},
      {3, "a1 OK [CAPABILITY IMAP4rev1 STARTTLSX] done\r\n", 0, "a1 OK [CAPABILITY IMAP4rev1 STARTTLSX] done\r\n"},
      {3, "* OK STARTTLS [ALERT] x\r\n", 0, "* OK STARTTLS [ALERT] x\r\n"},
  };
  for (const auto &c : kCases) {
    std::string buf = c.szIn;
    buf.resize(buf.size() + 64);
    std::size_t n = std::strlen(c.szIn);
    if (c.nProto == 1) n = FilterEhloReply(buf.data(), n, buf.size(), c.bOffer);
    if (c.nProto == 2) n = FilterCapaReply(buf.data(), n, buf.size(), c.bOffer);
    if (c.nProto == 3) n = FilterImapCapability(buf.data(), n);
    EXPECT_EQ(c.szOut, buf.substr(0, n)) << c.szIn;
  }
}

// Message framing that inspection relies on: each case is fed whole and
// split at every byte, and must end after exactly the expected bytes.
TEST(LineScanTest, MessageRepliesEndOnlyAtTheirEnd) {
  static const struct {
    const char *szName;
    int nProto, nKind, bClient, bMulti;
    const char *szTag;
    std::string in;
    std::size_t nEnd;  // bytes through the completing line, 0 when never complete
  } kCases[] = {
      {"pop3 -ERR body line is body", 2, 1, 0, 0, "", "+OK\r\nA: b\r\n\r\n-ERR x\r\n+OK y\r\nvirus\r\n.\r\nnext", 38},
      {"pop3 -ERR status ends at once", 2, 1, 0, 0, "", "-ERR gone\r\nmore", 11},
      {"pop3 cut message never ends", 2, 1, 0, 0, "", "+OK\r\nA: b\r\n\r\nbody\r\n", 0},
      {"pop3 LIST -ERR status", 2, 0, 0, 1, "", "-ERR not yet\r\n", 14},
      {"pop3 CAPA -ERR later is a line", 2, 0, 0, 1, "", "+OK\r\n-ERR\r\n.\r\n", 14},
      {"imap tag-like body line inside a literal", 3, 1, 0, 0, "a1 ",
       "* 1 FETCH (BODY[] {19}\r\na1 OK fake\r\nvirus\r\n)\r\na1 OK done\r\n", 58},
      {"imap two literals and a BINARY one", 3, 1, 0, 0, "a1 ",
       "* 1 FETCH (BODY[HEADER] {5}\r\na1 OK BINARY[] ~{6}\r\n\r\na1 O)\r\na1 OK x\r\n", 68},
      {"imap text after a literal is no line start", 3, 1, 0, 0, "a1 ",
       "* 1 FETCH (BODY[] {3}\r\nabca1 OK no\r\n)\r\na1 OK x\r\n", 48},
      {"imap continuation inside a literal", 3, 0, 0, 0, "a1 ", "* 1 FETCH (X {5}\r\n+ a\r\n)\r\na1 OK\r\n", 33},
      {"imap long tag matched whole", 3, 0, 0, 0, nullptr, std::string(300, 't') + " OK\r\n", 305},
      {"imap long tag differs at the end", 3, 0, 0, 0, nullptr, std::string(299, 't') + "u OK\r\n", 0},
      {"client literal holding a command", 3, 0, 1, 0, "", "a1 APPEND b {11+}\r\na9 LOGOUT\r\n\r\nnext", 32},
      {"client literal behind a long line", 3, 0, 1, 0, "",
       "a1 APPEND b (" + std::string(600, 'x') + ") {3+}\r\nx\r\n\r\n\r\n", 626},
      {"client binary literal", 3, 0, 1, 0, "", "a1 APPEND b ~{3+}\r\n\r\n\r\r\n", 24},
      {"client {-1} is a plain line", 3, 0, 1, 0, "", "a1 APPEND b {-1}\r\nx", 18},
  };
  const std::string longTag = std::string(300, 'T') + " ";
  for (const auto &c : kCases) {
    const char *szTag = c.szTag ? c.szTag : longTag.c_str();
    for (std::size_t nSplit = 0; nSplit <= c.in.size(); ++nSplit) {
      LineScan scan;
      LineScanInit(&scan, c.nProto, c.nKind, c.bClient, c.bMulti, szTag);
      std::size_t nUsed = 0;
      std::size_t nEnd = 0;
      // nSplit 0: byte by byte; otherwise two pieces split at nSplit.
      if (nSplit == 0) {
        for (std::size_t i = 0; i < c.in.size() && !nEnd; ++i)
          if (LineScanFeed(&scan, c.in.data() + i, 1, &nUsed)) nEnd = i + nUsed;
      } else if (LineScanFeed(&scan, c.in.data(), nSplit, &nUsed)) {
        nEnd = nUsed;
      } else if (LineScanFeed(&scan, c.in.data() + nSplit, c.in.size() - nSplit, &nUsed)) {
        nEnd = nSplit + nUsed;
      }
      ASSERT_EQ(c.nEnd, nEnd) << c.szName << " split " << nSplit;
    }
  }
}

TEST(LineScanTest, ClientLiteralSizes) {
  static const struct {
    const char *szLine;
    long long nSync;
    int bBad;
  } kCases[] = {
      {"a1 APPEND b {310}\r\n", 310, 0},
      {"a1 APPEND b {4294967295}\r\n", 4294967295LL, 0},
      {"a1 APPEND b {4294967296}\r\n", -1, 1},
      {"a1 APPEND b {4294967296+}\r\n", -1, 1},
      {"a1 APPEND b {12345678901234567890}\r\n", -1, 1},
      {"a1 APPEND b {-1}\r\n", -1, 0},
      {"a1 APPEND b {}\r\n", -1, 0},
      {"a1 APPEND b {5} \r\n", -1, 0},
  };
  for (const auto &c : kCases) {
    LineScan scan;
    LineScanInit(&scan, 3, 0, 1, 0, "");
    std::size_t nUsed;
    ASSERT_EQ(1, LineScanFeed(&scan, c.szLine, std::strlen(c.szLine), &nUsed)) << c.szLine;
    EXPECT_EQ(c.nSync, scan.nSyncLiteral) << c.szLine;
    EXPECT_EQ(c.bBad, scan.bBadLiteral) << c.szLine;
  }
}

// SMTP DATA: the body ends only at CR LF "." CR LF; bare CR and LF become
// CR LF with the dot-stuffing that keeps "\n.\n" from ending anything.
TEST(SmtpBodyTest, EndAndLineEnds) {
  static const struct {
    const char *szName;
    std::string in;
    std::string out;     // what the server gets, terminator included ("" not ended)
    std::size_t nUsed;   // bytes of in through the terminator
  } kCases[] = {
      {"plain", "a\r\n..b\r\n.\r\nQUIT\r\n", "a\r\n..b\r\n.\r\n", 11},
      {"empty body", ".\r\n", ".\r\n", 3},
      {"bare LF smuggling", "a\n.\nMAIL FROM:<x>\n\r\n.\r\n", "a\r\n..\r\nMAIL FROM:<x>\r\n\r\n.\r\n", 23},
      {"bare LF before the dot line", "a\n.\r\nRCPT\r\n.\r\n", "a\r\n..\r\nRCPT\r\n.\r\n", 14},
      {"bare CR smuggling", "a\r.\rb\r\n.\r\n", "a\r\n..\r\nb\r\n.\r\n", 10},
      {"dot then bare LF at a line start", "x\r\n.\ny\r\n.\r\n", "x\r\n\r\ny\r\n.\r\n", 11},
      {"dot CR then text", "x\r\n.\rz\r\n.\r\n", "x\r\n\r\nz\r\n.\r\n", 11},
      {"CR CR LF", "a\r\r\n.\r\n", "a\r\n\r\n.\r\n", 7},
      {"not ended", "a\r\n.\n", "", 0},
      {"dot with text", "a\r\n.\r\nx", "a\r\n.\r\n", 6},
  };
  for (const auto &c : kCases) {
    for (std::size_t nSplit = 0; nSplit <= c.in.size(); ++nSplit) {
      SmtpBody body;
      SmtpBodyInit(&body);
      std::string out;
      std::size_t nEnd = 0;
      std::vector<char> buf(2 * c.in.size() + 3);
      auto feed = [&](std::size_t nFrom, std::size_t nLen) {
        std::size_t nOut = 0, nUsed = 0;
        int bDone = SmtpBodyFeed(&body, c.in.data() + nFrom, nLen, buf.data(), &nOut, &nUsed);
        out.append(buf.data(), nOut);
        if (bDone && !nEnd) nEnd = nFrom + nUsed;
        return bDone;
      };
      if (nSplit == 0) {
        for (std::size_t i = 0; i < c.in.size() && !feed(i, 1); ++i) {
        }
      } else if (!feed(0, nSplit)) {
        feed(nSplit, c.in.size() - nSplit);
      }
      if (c.nUsed) {
        ASSERT_EQ(c.out, out) << c.szName << " split " << nSplit;
      }
      ASSERT_EQ(c.nUsed, nEnd) << c.szName << " split " << nSplit;
    }
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
