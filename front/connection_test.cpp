#include "front/connection.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/settings.h"
#include "platform/plat_socket.h"
#include "tests/unit/test_support.h"

namespace {

// Feeds the request in blocks of nBlock bytes; returns the number of bytes
// fed when the scan reported completeness, or -1 when it never did.
long FeedInBlocks(const std::string &sReq, size_t nBlock, RequestScan *pScan) {
  RequestScanInit(pScan);
  for (size_t i = 0; i < sReq.size(); i += nBlock) {
    size_t n = std::min(nBlock, sReq.size() - i);
    if (RequestScanFeed(pScan, sReq.data() + i, n)) return static_cast<long>(i + n);
  }
  return -1;
}

TEST(RequestScanTest, CompletenessRule) {
  const std::string sChunked =
      "POST http://h/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5\r\nhello\r\n10;ext=1\r\n0123456789abcdef\r\n0\r\nX-Trailer: 1\r\n\r\n";
  static const struct {
    const char *szName;
    std::string sReq;
    long nWantAt;  // bytes needed for completeness, -1 = never complete
    int bUpload;
  } kCases[] = {
      {"get", "GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n", 37, 0},
      {"get ignores body length", "GET / HTTP/1.1\r\nContent-Length: 10\r\n\r\n", 38, 0},
      {"get without end", "GET / HTTP/1.1\r\nHost: h\r\n", -1, 0},
      {"post exact", "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde", 43, 1},
      {"post short", "POST / HTTP/1.1\r\nContent-Length: 6\r\n\r\nabcde", -1, 1},
      {"post any case", "post / HTTP/1.1\r\nCONTENT-LENGTH: 2\r\n\r\nab", 40, 1},
      {"put", "PUT / HTTP/1.1\r\ncontent-length: 1\r\n\r\nZ", 38, 1},
      {"post no length", "POST / HTTP/1.1\r\nHost: h\r\n\r\n", 28, 1},
      {"LF-only line does not end header", "GET / HTTP/1.1\n\n", -1, 0},
      {"postal is no upload", "POSTAL / HTTP/1.1\r\n\r\n", 21, 0},
      {"chunked", sChunked, static_cast<long>(sChunked.size()), 1},
      {"chunked without last chunk", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", -1, 1},
      {"chunked wins over length",
       "POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: Chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", 83, 1},
  };
  for (const auto &c : kCases) {
    for (size_t nBlock : {static_cast<size_t>(1), static_cast<size_t>(3), static_cast<size_t>(16384)}) {
      RequestScan scan;
      long nAt = FeedInBlocks(c.sReq, nBlock, &scan);
      if (c.nWantAt < 0) {
        EXPECT_EQ(-1, nAt) << c.szName << " block " << nBlock;
      } else {
        // With big blocks the whole text arrives at once.
        EXPECT_EQ(std::min<long>(c.sReq.size(), ((c.nWantAt + nBlock - 1) / nBlock) * nBlock), nAt)
            << c.szName << " block " << nBlock;
      }
      EXPECT_EQ(c.bUpload, scan.bUpload) << c.szName;
    }
  }
}

TEST(RequestScanTest, EveryPassStartsFresh) {
  RequestScan scan;
  std::string sPost = "POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\n";
  EXPECT_EQ(-1, FeedInBlocks(sPost, 100, &scan));
  std::string sGet = "GET / HTTP/1.1\r\n\r\n";
  EXPECT_EQ(static_cast<long>(sGet.size()), FeedInBlocks(sGet, 100, &scan));
  EXPECT_EQ(0, scan.bUpload);
  EXPECT_STREQ("GET / HTTP/1.1", scan.mFirstLine);
}

TEST(RequestScanTest, LongHeaderLinesAndLargeBody) {
  // A header line longer than the kept line start is still one line.
  std::string sReq = "POST / HTTP/1.1\r\nX-Long: " + std::string(10000, 'a') + "\r\nContent-Length: 100000\r\n\r\n";
  RequestScan scan;
  RequestScanInit(&scan);
  EXPECT_EQ(0, RequestScanFeed(&scan, sReq.data(), sReq.size()));
  std::string sBody(99999, 'b');
  EXPECT_EQ(0, RequestScanFeed(&scan, sBody.data(), sBody.size()));
  EXPECT_EQ(1, RequestScanFeed(&scan, "b", 1));
}

class ScopedTz {
 public:
  explicit ScopedTz(const char *szTz) {
    const char *szOld = getenv("TZ");
    m_bHad = szOld != nullptr;
    if (szOld) m_sOld = szOld;
    setenv("TZ", szTz, 1);
    tzset();
  }
  ~ScopedTz() {
    if (m_bHad)
      setenv("TZ", m_sOld.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool m_bHad = false;
  std::string m_sOld;
};

TEST(DateTextTest, StandardTimeAndZone) {
  // 2026-07-01 12:34:56 UTC, a summer date, and 2026-01-01 00:00:00 UTC.
  static const struct {
    const char *szTz;
    int64_t nTime;
    const char *szWant;
  } kCases[] = {
      {"UTC0", 1782909296, "Wed, 01 Jul 2026 12:34:56 GMT"},
      {"JST-9", 1782909296, "Wed, 01 Jul 2026 21:34:56 +0900"},
      // Central Europe in summer: daylight saving is taken out (+0100).
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1782909296, "Wed, 01 Jul 2026 13:34:56 +0100"},
      {"EST5EDT,M3.2.0,M11.1.0", 1782909296, "Wed, 01 Jul 2026 07:34:56 -0500"},
      {"EST5EDT,M3.2.0,M11.1.0", 1767225600, "Wed, 31 Dec 2025 19:00:00 -0500"},
      {"IST-5:30", 1767225600, "Thu, 01 Jan 2026 05:30:00 +0530"},
  };
  for (const auto &c : kCases) {
    ScopedTz tz(c.szTz);
    char szDate[kDateTextSize];
    MakeDateTextAt(c.nTime, szDate);
    EXPECT_STREQ(c.szWant, szDate) << c.szTz;
  }
}

class AuthListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = std::filesystem::temp_directory_path() / ("auth_test_" + std::to_string(getpid()) + ".ini");
    g_szAuthFile.Assign(m_path.string());
    m_pRec = AllocConnectionRecord();
    m_pRec->nSock = 7;
  }
  void TearDown() override {
    g_szAuthFile.Clear();
    FreeConnectionRecord(m_pRec);
    std::filesystem::remove(m_path);
  }
  int CheckB64(const char *szB64) {
    snprintf(m_pRec->mLine, sizeof m_pRec->mLine, "Proxy-Authorization: Basic %s", szB64);
    return ComperTokenB64(m_pRec);
  }
  std::filesystem::path m_path;
  ConnectionRecord *m_pRec = nullptr;
};

TEST_F(AuthListTest, EntriesCommentsAndCommas) {
  std::ofstream(m_path, std::ios::binary) << " skipped:blank\r\n"
                                             "\"skipped:dquote\n"
                                             "'skipped:squote\n"
                                             "\n"
                                             "alice:secret,the first user\r\n"
                                             "bob:pw:with:colons\n"
                                             "carol:last";  // no line end
  static const struct {
    const char *szCred;
    int nWant;
  } kCases[] = {
      {"alice:secret", 1}, {"alice:secret,the first user", 0}, {"bob:pw:with:colons", 1}, {"carol:last", 1},
      {"skipped:blank", 0}, {"skipped:dquote", 0}, {"skipped:squote", 0}, {"", 0}, {"alice:Secret", 0},
  };
  for (const auto &c : kCases) {
    EXPECT_EQ(c.nWant, ComperToken(3, c.szCred)) << c.szCred;
  }
  EXPECT_EQ(1, CheckB64("YWxpY2U6c2VjcmV0"));   // alice:secret
  EXPECT_EQ(0, CheckB64("YWxpY2U6c2VjcmV0 "));  // byte for byte
  EXPECT_EQ(0, CheckB64("YWxpY2U6d3Jvbmc="));   // alice:wrong
  EXPECT_EQ(0, CheckB64(""));                   // the empty line is no entry
  std::filesystem::remove(m_path);
  EXPECT_EQ(0, CheckB64("YWxpY2U6c2VjcmV0"));   // missing list: nobody
}

TEST(CloseClientTest, ClosedSocketIsNotTouched) {
  // A record whose socket is already closed is only freed (the sanitizer
  // build checks the free); descriptor 0 stays open.
  ConnectionRecord *pRec = AllocConnectionRecord();
  pRec->nSock = 0;
  CloseClient(pRec);
  EXPECT_NE(-1, fcntl(0, F_GETFD));
}

}  // namespace

namespace {

TEST(UploadRefusedTest, BodyIsAlways146Bytes) {
  // The name is padded to 64 characters; a longer one is cut there, or the
  // body would outgrow its Content-Length.
  std::vector<std::string> names = {"EICAR-Test-File", "", std::string(64, 'v'), std::string(100, 'w')};
  for (const auto &sName : names) {
    testsupport::LoopbackPair pair;  // b is the proxy's end, closed by CloseClient
    ASSERT_TRUE(pair.Ok());
    ConnectionRecord *pRec = AllocConnectionRecord();
    pRec->nSock = pair.b;
    pair.b = kPlatNoSocket;
    EXPECT_EQ(1, SendUploadRefused(pRec, sName.c_str()));
    CloseClient(pRec);
    std::string sReply = testsupport::RecvAll(pair.a);
    size_t nHeaderEnd = sReply.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, nHeaderEnd) << sReply;
    std::string sBody = sReply.substr(nHeaderEnd + 4);
    EXPECT_EQ(146u, sBody.size()) << sName;
    EXPECT_NE(std::string::npos, sReply.find("Content-Length: 146\r\n"));
    EXPECT_EQ(0u, sBody.find("<HTML><HEAD><TITLE>POST Fail</TITLE></HEAD><BODY>\r\n<H1>Found "));
    EXPECT_NE(std::string::npos, sBody.find(sName.substr(0, 64)));
  }
}

}  // namespace
