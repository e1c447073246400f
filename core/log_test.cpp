#include "core/log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <algorithm>
#include <cstring>
#include <string>

#include "core/settings.h"
#include "core/endpoint_record.h"
#include "tests/unit/test_support.h"

namespace {

int64_t g_nFakeNow;
int g_nFakeMillis;
int64_t FakeClock(int *pMillis) {
  if (pMillis) *pMillis = g_nFakeMillis;
  return g_nFakeNow;
}

// Local time value of a given local date and time.
int64_t LocalTime(int y, int mo, int d, int h, int mi, int s) {
  struct tm t = {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return mktime(&t);
}

std::string ReadFile(const std::filesystem::path &p) { return testsupport::ReadFile(p.string()); }

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EndpointRecord ep;
    SetDefaults(&ep);
    std::filesystem::create_directories(m_dir / "log");
    std::filesystem::create_directories(m_dir / "ncsa");
    g_szLogDir.Assign((m_dir / "log").string());
    g_szAccessLogDir.Assign((m_dir / "ncsa").string());
    SetLogClock(FakeClock);
  }
  void TearDown() override {
    SetLogClock(nullptr);
    EndpointRecord ep;
    SetDefaults(&ep);
  }
  std::string WriteRequest(const std::string &sText) {
    std::string sPath = (m_dir / "req.dat").string();
    testsupport::WriteFile(sPath, sText);
    return sPath;
  }
  testsupport::TempDir m_tmp{"log_test_"};
  std::filesystem::path m_dir = m_tmp.Path();
};

TEST_F(LogTest, NothingWrittenWithoutSwitches) {
  g_nFakeNow = LocalTime(2026, 12, 7, 10, 0, 0);
  DebugLog("[Test] line\n");
  EXPECT_TRUE(std::filesystem::is_empty(m_dir / "log"));
}

TEST_F(LogTest, LinesAroundMidnightLandInTwoFiles) {
  g_bLogFile = 1;
  g_nFakeNow = LocalTime(2026, 12, 31, 23, 59, 59);
  g_nFakeMillis = 999;
  DebugLogF("[Test] [%04d] before\n", 7);
  g_nFakeNow = LocalTime(2027, 1, 1, 0, 0, 0);
  g_nFakeMillis = 1;
  DebugLog("[Test] after\n");
  EXPECT_EQ("[23:59:59:999] [Test] [0007] before\n", ReadFile(m_dir / "log" / "20261231.log"));
  EXPECT_EQ("[00:00:00:001] [Test] after\n", ReadFile(m_dir / "log" / "20270101.log"));
}

TEST_F(LogTest, OverlongLineIsCutAndKeepsItsLineEnd) {
  g_bLogFile = 1;
  g_nFakeNow = LocalTime(2026, 12, 7, 10, 0, 0);
  std::string sHuge(100000, 'x');
  DebugLogF("[Test] %s\n", sHuge.c_str());
  std::string s = ReadFile(m_dir / "log" / "20261207.log");
  ASSERT_FALSE(s.empty());
  EXPECT_LT(s.size(), 20000u);
  EXPECT_EQ('\n', s.back());
}

TEST_F(LogTest, AccessLineFields) {
  g_bAccessLog = 1;
  g_nFakeNow = LocalTime(2026, 3, 5, 8, 9, 10);
  static const struct {
    const char *szRequest;
    uint64_t nBytes;
    const char *szWant;
  } kCases[] = {
      // No user agent, no referrer: two empty quoted fields; no user: "-".
      {"GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n", 1234,
       "10.0.0.9 - - [05/Mar/2026:08:09:10 +0900] \"GET http://a.test/ HTTP/1.1\" 200 1234 \"\" \"\"\n"},
      // Basic credentials give the user; header names in any case.
      {"GET http://a.test/x HTTP/1.1\r\nPROXY-Authorization: x\r\nAuthorization:  Basic YWxpY2U6c2VjcmV0\r\n"
       "REFERER:   http://r.test/\r\nUser-Agent: curl/7.88\r\n\r\n", 1234,
       "10.0.0.9 - alice [05/Mar/2026:08:09:10 +0900] \"GET http://a.test/x HTTP/1.1\" 200 1234 "
       "\"http://r.test/\" \"curl/7.88\"\n"},
      // Headers after the empty line belong to the body and are not read.
      {"POST http://a.test/ HTTP/1.1\n\nUser-Agent: body\n", 1234,
       "10.0.0.9 - - [05/Mar/2026:08:09:10 +0900] \"POST http://a.test/ HTTP/1.1\" 200 1234 \"\" \"\"\n"},
      // An empty first line: no header is read.
      {"\r\nUser-Agent: x\r\n", 1234, "10.0.0.9 - - [05/Mar/2026:08:09:10 +0900] \"\" 200 1234 \"\" \"\"\n"},
      // Not Basic: no user.
      {"GET / HTTP/1.1\r\nAuthorization: Digest abc\r\n\r\n", 1234,
       "10.0.0.9 - - [05/Mar/2026:08:09:10 +0900] \"GET / HTTP/1.1\" 200 1234 \"\" \"\"\n"},
      // Bytes from the peer are escaped (user "ev\r\nil", user "a\0b", target,
      // referrer, agent with quotes and a backslash); the count is 64-bit.
      {"GET / HTTP/1.1\r\nAuthorization: Basic ZXYNCmlsOnB3\r\n\r\n", 5000000000ull,
       "10.0.0.9 - ev\\x0d\\x0ail [05/Mar/2026:08:09:10 +0900] \"GET / HTTP/1.1\" 200 5000000000 \"\" \"\"\n"},
      {"GET / HTTP/1.1\r\nAuthorization: Basic YQBiOnB3\r\n\r\n", 1234,
       "10.0.0.9 - a\\x00b [05/Mar/2026:08:09:10 +0900] \"GET / HTTP/1.1\" 200 1234 \"\" \"\"\n"},
      {"GET /\x1b HTTP/1.1\r\nUser-Agent: x\" 1 2 \"y\\\r\nReferer: r\x01\r\n\r\n", 1234,
       "10.0.0.9 - - [05/Mar/2026:08:09:10 +0900] \"GET /\\x1b HTTP/1.1\" 200 1234 \"r\\x01\" "
       "\"x\\x22 1 2 \\x22y\\x5c\"\n"},
  };
  for (const auto &c : kCases) {
    std::filesystem::remove_all(m_dir / "ncsa");
    std::filesystem::create_directories(m_dir / "ncsa");
    AccessLog(WriteRequest(c.szRequest).c_str(), "10.0.0.9", 200, c.nBytes);
    EXPECT_EQ(c.szWant, ReadFile(m_dir / "ncsa" / "20260305.log")) << c.szRequest;
  }
}

TEST_F(LogTest, AccessLineWithoutRequestFile) {
  g_bAccessLog = 1;
  g_nFakeNow = LocalTime(2026, 12, 7, 23, 1, 2);
  AccessLog((m_dir / "missing.dat").c_str(), "::1", 407, 0);
  EXPECT_EQ("::1 - - [07/Dec/2026:23:01:02 +0900] \"\" 407 0 \"\" \"\"\n",
            ReadFile(m_dir / "ncsa" / "20261207.log"));
  g_bAccessLog = 0;
  AccessLog((m_dir / "missing.dat").c_str(), "::1", 407, 0);  // off: nothing more
  std::string s = ReadFile(m_dir / "ncsa" / "20261207.log");
  EXPECT_EQ(1, std::count(s.begin(), s.end(), '\n'));
}

TEST(EscapeLogTextTest, Table) {
  static const struct {
    std::string sIn;
    int bQuoted;
    size_t nRoom;
    const char *szWant;
  } kCases[] = {
      {"plain text", 0, 64, "plain text"},
      {"a\r\nb", 0, 64, "a\\x0d\\x0ab"},
      {std::string("n\0l", 3), 0, 64, "n\\x00l"},
      {"\x1b[2J\x7f\t", 0, 64, "\\x1b[2J\\x7f\t"},
      {"a\tb", 1, 64, "a\\x09b"},
      {"\"q\" \\", 0, 64, "\"q\" \\"},           // quotes only escaped in quoted fields
      {"\"q\" \\", 1, 64, "\\x22q\\x22 \\x5c"},
      {"\xc3\xa9", 0, 64, "\xc3\xa9"},            // UTF-8 passes unchanged
      {"ab\r", 0, 6, "ab"},                      // an escape that does not fit is left out whole
      {"abc", 0, 3, "ab"},
  };
  for (const auto &c : kCases) {
    char szOut[64];
    size_t n = EscapeLogText(c.sIn.data(), c.sIn.size(), szOut, c.nRoom, c.bQuoted);
    EXPECT_STREQ(c.szWant, szOut) << c.sIn;
    EXPECT_EQ(strlen(c.szWant), n);
  }
}

TEST_F(LogTest, PeerControlBytesCannotForgeLines) {
  g_bLogFile = 1;
  g_nFakeNow = LocalTime(2026, 12, 7, 10, 0, 0);
  g_nFakeMillis = 5;
  static const struct {
    const char *szLine;
    const char *szWant;
  } kCases[] = {
      {"[T] id=<x\r\n[10:00:00:000] [T] forged>\n", "[10:00:00:005] [T] id=<x\\x0d\\x0a[10:00:00:000] [T] forged>\n"},
      {"[T] USER a\r\n", "[10:00:00:005] [T] USER a\r\n"},  // a protocol line keeps its own CR LF
      {"[T] a\r\nb\r\n\n", "[10:00:00:005] [T] a\\x0d\\x0ab\r\n\n"},  // a blank line after it too
      {"[T] bell\x07 no end", "[10:00:00:005] [T] bell\\x07 no end"},
  };
  for (const auto &c : kCases) {
    // The file stays open between lines: each line is what it gained.
    std::string before = ReadFile(m_dir / "log" / "20261207.log");
    DebugLog(c.szLine);
    std::string after = ReadFile(m_dir / "log" / "20261207.log");
    ASSERT_GE(after.size(), before.size());
    EXPECT_EQ(c.szWant, after.substr(before.size())) << c.szLine;
  }
}

TEST_F(LogTest, KeptFileRemovedIsCreatedAgain) {
  g_bLogFile = 1;
  g_nFakeMillis = 0;
  g_nFakeNow = LocalTime(2026, 12, 7, 11, 0, 0);
  DebugLog("[T] one\n");
  std::filesystem::remove(m_dir / "log" / "20261207.log");
  g_nFakeNow += 1;
  DebugLog("[T] two\n");
  EXPECT_EQ("[11:00:01:000] [T] two\n", ReadFile(m_dir / "log" / "20261207.log"));
}

}  // namespace
