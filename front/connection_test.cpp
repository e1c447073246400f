#include "front/connection.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <fstream>
#include <string>
#include <vector>

#include "core/settings.h"
#include "platform/plat_file.h"
#include "platform/plat_socket.h"
#include "tests/unit/test_support.h"

namespace {

// Feeds the request in blocks of nBlock bytes; returns the offset where
// the request ended (its last byte + 1), -1 when it never did, or minus the
// refusal status.
long FeedInBlocks(const std::string &sReq, size_t nBlock, RequestScan *pScan) {
  RequestScanInit(pScan);
  for (size_t i = 0; i < sReq.size(); i += nBlock) {
    size_t n = std::min(nBlock, sReq.size() - i), nUsed = 0;
    int nRc = RequestScanFeed(pScan, sReq.data() + i, n, &nUsed);
    if (nRc < 0) return -pScan->reader.nError;
    if (nRc == 1) return static_cast<long>(i + nUsed);
  }
  return -1;
}

TEST(RequestScanTest, FramingRules) {
  const std::string sChunked =
      "POST http://h/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5\r\nhello\r\n10;ext=1\r\n0123456789abcdef\r\n0\r\nX-Trailer: 1\r\n\r\n";
  const std::string sTe = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  static const struct {
    const char *szName;
    std::string sReq;
    long nWantAt;  // end of the request; -1 never complete; -400/-431 refused
    int bUpload;
  } kCases[] = {
      // Accepted forms; what follows the end is the next request.
      {"get", "GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n", 35, 0},
      {"pipelined get", "GET / HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n", 18, 0},
      {"get with a body", "GET / HTTP/1.1\r\nContent-Length: 2\r\n\r\nabGET", 39, 1},
      {"get without end", "GET / HTTP/1.1\r\nHost: h\r\n", -1, 0},
      {"post exact", "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcdeGET / HTTP/1.1", 43, 1},
      {"post short", "POST / HTTP/1.1\r\nContent-Length: 6\r\n\r\nabcde", -1, 1},
      {"post any case", "post / HTTP/1.1\r\nCONTENT-LENGTH: 2\r\n\r\nab", 40, 1},
      {"put", "PUT / HTTP/1.1\r\ncontent-length: 1\r\n\r\nZ", 38, 1},
      {"post no length", "POST / HTTP/1.1\r\nHost: h\r\n\r\n", 28, 1},
      {"same length twice", "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nZ", 58, 1},
      {"LF-only lines", "GET / HTTP/1.1\n\n", 16, 0},
      {"empty line before the request line", "\r\nGET / HTTP/1.1\r\n\r\n", 20, 0},
      {"postal is no upload", "POSTAL / HTTP/1.1\r\n\r\n", 21, 0},
      {"chunked", sChunked + "GET", static_cast<long>(sChunked.size()), 1},
      {"chunked without last chunk", sTe + "5\r\nhello\r\n", -1, 1},
      {"gzip then chunked", "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", 58, 1},
      // Refused forms.
      {"length and chunked",
       "POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", -400, 0},
      {"differing lengths", "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", -400, 0},
      {"length with sign", "POST / HTTP/1.1\r\nContent-Length: +1\r\n\r\na", -400, 0},
      {"length in hex", "POST / HTTP/1.1\r\nContent-Length: 0x1\r\n\r\na", -400, 0},
      {"last coding not chunked", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", -400, 0},
      {"unknown coding", "POST / HTTP/1.1\r\nTransfer-Encoding: foo, chunked\r\n\r\n", -400, 0},
      {"chunked twice", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked, chunked\r\n\r\n", -400, 0},
      {"chunk size 0x", sTe + "0x5\r\nhello\r\n0\r\n\r\n", -400, 1},
      {"chunk size with sign", sTe + "+5\r\nhello\r\n0\r\n\r\n", -400, 1},
      {"chunk size with blank", sTe + " 5\r\nhello\r\n0\r\n\r\n", -400, 1},
      {"chunk size overflow", sTe + "fffffffffffffffff\r\n", -400, 1},
      {"obs-fold", "GET / HTTP/1.1\r\nX-A: 1\r\n  2\r\n\r\n", -400, 0},
      {"bare CR in the request line", "GET /a\rb HTTP/1.1\r\n\r\n", -400, 0},
      {"NUL in a header", std::string("GET / HTTP/1.1\r\nX-A: a\0b\r\n\r\n", 28), -400, 0},
      {"blank before the colon", "POST / HTTP/1.1\r\nTransfer-Encoding : chunked\r\n\r\n", -400, 0},
      {"header over 64 KiB", "GET / HTTP/1.1\r\nX-Big: " + std::string(70000, 'a') + "\r\n\r\n", -431, 0},
  };
  std::unique_ptr<RequestScan> pScan(new RequestScan);
  for (const auto &c : kCases) {
    for (size_t nBlock : {static_cast<size_t>(1), static_cast<size_t>(3), static_cast<size_t>(16384)}) {
      EXPECT_EQ(c.nWantAt, FeedInBlocks(c.sReq, nBlock, pScan.get())) << c.szName << " block " << nBlock;
      if (c.nWantAt >= 0) {
        EXPECT_EQ(c.bUpload, pScan->bUpload) << c.szName;
      }
    }
  }
}

TEST(RequestScanTest, EveryPassStartsFresh) {
  std::unique_ptr<RequestScan> pScan(new RequestScan);
  std::string sPost = "POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\n";
  EXPECT_EQ(-1, FeedInBlocks(sPost, 100, pScan.get()));
  std::string sGet = "GET / HTTP/1.1\r\n\r\n";
  EXPECT_EQ(static_cast<long>(sGet.size()), FeedInBlocks(sGet, 100, pScan.get()));
  EXPECT_EQ(0, pScan->bUpload);
  EXPECT_STREQ("GET / HTTP/1.1", pScan->mFirstLine);
}

TEST(RequestScanTest, LongHeaderLinesAndLargeBody) {
  // A header line longer than the kept line start is still one line.
  std::string sReq = "POST / HTTP/1.1\r\nX-Long: " + std::string(10000, 'a') + "\r\nContent-Length: 100000\r\n\r\n";
  std::unique_ptr<RequestScan> pScan(new RequestScan);
  RequestScanInit(pScan.get());
  size_t nUsed = 0;
  EXPECT_EQ(0, RequestScanFeed(pScan.get(), sReq.data(), sReq.size(), &nUsed));
  std::string sBody(99999, 'b');
  EXPECT_EQ(0, RequestScanFeed(pScan.get(), sBody.data(), sBody.size(), &nUsed));
  EXPECT_EQ(1, RequestScanFeed(pScan.get(), "bc", 2, &nUsed));
  EXPECT_EQ(1u, nUsed);
}

// The request line taken from the scanner's header must be what fgets
// reads from the request file, or the header must decline to give it.
TEST(RequestScanTest, RequestLineMatchesTheFile) {
  static const struct {
    const char *szName;
    std::string sReq;
    std::size_t nSize;
    int nWant;  // 1 given, 0 declined
  } kCases[] = {
      {"CRLF", "GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n", 16385, 1},
      {"LF only", "GET / HTTP/1.1\nHost: h\n\n", 16385, 1},
      {"line longer than the buffer", "GET /" + std::string(40, 'a') + " HTTP/1.1\r\n\r\n", 17, 1},
      {"line exactly the buffer", "GET / HTTP/1.1\r\n\r\n", 17, 1},
      {"empty line first", "\r\nGET / HTTP/1.1\r\n\r\n", 16385, 0},
      {"header not complete", "GET / HTTP/1.1\r\nHost: h\r\n", 16385, 0},
  };
  std::unique_ptr<RequestScan> pScan(new RequestScan);
  std::string sPath = testing::TempDir() + "/reqline.dat";
  for (const auto &c : kCases) {
    FeedInBlocks(c.sReq, 5, pScan.get());
    std::vector<char> vGot(c.nSize, 'x');
    ASSERT_EQ(c.nWant, RequestLineOfHeader(pScan.get(), vGot.data(), c.nSize)) << c.szName;
    if (!c.nWant) continue;
    std::ofstream(sPath, std::ios::binary) << c.sReq;
    std::vector<char> vFile(c.nSize, 'y');
    FILE *fp = fopen(sPath.c_str(), "rb");
    ASSERT_NE(nullptr, fp);
    ASSERT_NE(nullptr, fgets(vFile.data(), static_cast<int>(c.nSize), fp));
    fclose(fp);
    EXPECT_STREQ(vFile.data(), vGot.data()) << c.szName;
  }
  std::remove(sPath.c_str());
}

// The handlers read a request without a body from memory: what they read
// there must be the request file byte for byte, or memory must decline.
TEST(RequestScanTest, WholeRequestInMemoryIsTheFile) {
  static const struct {
    const char *szName;
    std::string sReq;
    int nWant;  // 1 given, 0 declined
  } kCases[] = {
      {"CRLF", "GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n", 1},
      {"LF only", "GET / HTTP/1.1\nHost: h\n\n", 1},
      {"next request behind it", "GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n", 1},
      {"empty body by length", "GET / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 1},
      {"body by length", "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", 0},
      {"chunked body", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 0},
      {"empty line first", "\r\nGET / HTTP/1.1\r\n\r\n", 0},
      {"header not complete", "GET / HTTP/1.1\r\nHost: h\r\n", 0},
  };
  std::unique_ptr<RequestScan> pScan(new RequestScan);
  for (const auto &c : kCases) {
    long nAt = FeedInBlocks(c.sReq, 7, pScan.get());
    int64_t nStored = nAt >= 0 ? nAt : static_cast<int64_t>(c.sReq.size());
    const char *pText = nullptr;
    std::size_t nText = 0;
    ASSERT_EQ(c.nWant, RequestTextOfHeader(pScan.get(), nStored, &pText, &nText)) << c.szName;
    if (!c.nWant) continue;
    ASSERT_EQ(std::string(c.sReq, 0, static_cast<std::size_t>(nStored)), std::string(pText, nText)) << c.szName;
    // Read as the handlers read the file: a line, a seek back, the rest.
    FILE *fp = PlatMemoryFile(pText, nText);
    ASSERT_NE(nullptr, fp) << c.szName;
    char szLine[64];
    ASSERT_NE(nullptr, fgets(szLine, sizeof szLine, fp));
    EXPECT_EQ(static_cast<long>(strlen(szLine)), ftell(fp)) << c.szName;
    ASSERT_EQ(0, fseek(fp, 0, SEEK_SET));
    std::string sAll(nText + 8, '\0');
    sAll.resize(fread(sAll.data(), 1, sAll.size(), fp));
    EXPECT_EQ(std::string(pText, nText), sAll) << c.szName;
    EXPECT_NE(0, feof(fp));
    fclose(fp);
  }
  EXPECT_EQ(nullptr, PlatMemoryFile("x", 0));
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
