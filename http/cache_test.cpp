#include "http/cache.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/settings.h"
#include "platform/plat_digest.h"

namespace {

// File time of a UTC date, for comparisons (offset 0).
uint64_t FileTimeOf(const char *szDate) {
  uint64_t n = 0;
  EXPECT_EQ(1, ParseExpiresDate(szDate, 0, &n)) << szDate;
  return n;
}

// Cache files are named by these digests: the spelling (32 lower-case hex
// digits) is what stored files and other instances rely on.
TEST(CacheDigestTest, Md5Names) {
  static const struct {
    const char *szIn, *szHex;
  } kCases[] = {
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
  };
  for (const auto &c : kCases) {
    char szHex[33];
    ASSERT_EQ(1, CacheDigest(c.szIn, szHex));
    EXPECT_STREQ(c.szHex, szHex);
  }
}

TEST(CacheKeyTest, KeyText) {
  static const struct {
    const char *szHost;
    int nPort;
    const char *szLine;
    const char *szKey;
  } kCases[] = {
      {"h.test", 80, "GET http://h.test/A/B?C HTTP/1.1\r\n", "http,,h.test,80,/A/B?C"},
      {"H.Test", 80, "get HTTP://H.TEST/a/b?c http/1.1\r\n", "http,,h.test,80,/a/b?c"},
      {"h.test", 8080, "GET http://h.test:8080/a/b?c HTTP/1.1\r\n", "http,,h.test,8080,/a/b?c"},
      {"h.test", 80, "GET http://h.test HTTP/1.1\r\n", "http,,h.test,80,/"},
      {"GET", 80, "GET /x/y HTTP/1.1\r\n", "http,,get,80,/x/y"},
  };
  for (const auto &c : kCases) {
    char szKey[kCacheKeySize];
    ASSERT_EQ(1, BuildHttpCacheKey("", c.szHost, c.nPort, c.szLine, szKey, sizeof szKey));
    EXPECT_STREQ(c.szKey, szKey) << c.szLine;
  }
  // A key that does not fit is refused: two URLs must never share a copy.
  std::string line = "GET http://h.test/" + std::string(2000, 'a') + " HTTP/1.1\r\n";
  char szKey[kCacheKeySize];
  EXPECT_EQ(0, BuildHttpCacheKey("", "h.test", 80, line.c_str(), szKey, sizeof szKey));
}

TEST(ExpiresDateTest, Forms) {
  const uint64_t nBase = FileTimeOf("Thu, 01 Dec 1994 16:00:00 GMT");
  const uint64_t kHour = 36000000000ull;
  static const struct {
    const char *szDate;
    long nStdOffset;
    long long nHoursFromBase;
  } kCases[] = {
      {"thu, 01 dec 1994 16:00:00 gmt", 0, 0},
      {"Thursday, 01-Dec-94 16:00:00 GMT", 0, 0},        // RFC 850 form
      {"Thu, 01 Dec 1994 16:00:00", 0, 0},
      {"Thu, 01 Dec 1994 18:00:00 +0200", 0, 0},         // east of UTC
      {"Thu, 01 Dec 1994 11:00:00 -0500", 0, 0},         // west of UTC
      {"Thu, 01 Dec 1994 16:00:00 GMT", 9 * 3600, 9},    // local standard time
      {"1994 12 01 16:00:00", 0, 0},                     // year first
      {"Thu, 02 Dec 1994 16:00:00 GMT", 0, 24},
  };
  for (const auto &c : kCases) {
    uint64_t n = 0;
    ASSERT_EQ(1, ParseExpiresDate(c.szDate, c.nStdOffset, &n)) << c.szDate;
    EXPECT_EQ(static_cast<long long>(nBase) + c.nHoursFromBase * static_cast<long long>(kHour),
              static_cast<long long>(n))
        << c.szDate;
  }
}

TEST(ExpiresDateTest, UnreadableDates) {
  static const char *const kBad[] = {
      "Thu, 01 Foo 1994 16:00:00 GMT",  // no such month
      "Thu, 32 Dec 1994 16:00:00 GMT",  // read as a year, no month
      "0",
      "-1",
      "Thu, 01 Dec 1994 25:00:00 GMT",
      "",
  };
  for (const char *sz : kBad) {
    uint64_t n = 0;
    EXPECT_EQ(0, ParseExpiresDate(sz, 0, &n)) << sz;
  }
}

class CacheFileTest : public ::testing::Test {
 protected:
  int Fresh(const char *szHeader, uint64_t nNow, uint64_t nStored) {
    FILE *f = tmpfile();
    fputs(szHeader, f);
    rewind(f);
    int n = CachedHeaderFresh(f, 1, nNow, nStored, 0);
    fclose(f);
    return n;
  }
};

TEST_F(CacheFileTest, HeaderRules) {
  const uint64_t kSec = 10000000ull;
  const uint64_t nStored = FileTimeOf("Thu, 01 Dec 2024 10:00:00 GMT");
  const uint64_t nNow = nStored + 90 * kSec;
  static const struct {
    const char *szHeader;
    int bFresh;
  } kCases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", 1},
      {"HTTP/1.1 200 OK\r\nCache-Control: private\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nCache-Control: public\r\n\r\n", 1},
      {"HTTP/1.1 200 OK\r\nCache-Control: public, no-cache\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nCache-Control: public, max-age=60\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nCache-Control: public, max-age=120\r\n\r\n", 1},
      {"HTTP/1.1 200 OK\r\nPRAGMA: no-cache\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nExpires: Thu, 01 Dec 2024 09:00:00 GMT\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nExpires: Thu, 01 Dec 2099 09:00:00 GMT\r\n\r\n", 1},
      {"HTTP/1.1 200 OK\r\nExpires: Thu, 01 Xyz 2099 09:00:00 GMT\r\n\r\n", 0},
      // Answers private to a user are never served.
      {"HTTP/1.1 200 OK\r\nCache-Control: public\r\nSet-Cookie: s=1\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nCache-Control: public, no-store\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nVary: Cookie\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nVary: accept-encoding\r\n\r\n", 1},
      // Lines after the header do not count.
      {"HTTP/1.1 200 OK\r\n\r\nCache-Control: private\r\n", 1},
  };
  for (const auto &c : kCases) EXPECT_EQ(c.bFresh, Fresh(c.szHeader, nNow, nStored)) << c.szHeader;
}

TEST_F(CacheFileTest, PrivateMessages) {
  static const struct {
    int bRequest;
    const char *szHeader;
    int bPrivate;
  } kCases[] = {
      {1, "GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n", 0},
      {1, "GET http://h/ HTTP/1.1\r\nCookie: a=b\r\n\r\n", 1},
      {1, "GET http://h/ HTTP/1.1\r\nauthorization: Basic eA==\r\n\r\n", 1},
      {1, "GET http://h/ HTTP/1.1\r\nProxy-Authorization: Basic eA==\r\n\r\n", 0},
      {0, "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", 0},
      {0, "HTTP/1.1 200 OK\r\nSet-Cookie: a=b\r\n\r\n", 1},
      {0, "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\n\r\n", 1},
      {0, "HTTP/1.1 200 OK\r\nVary: Accept-Encoding, User-Agent\r\n\r\n", 1},
      {0, "HTTP/1.1 200 OK\r\nVary: Accept-Encoding\r\n\r\n", 0},
      {0, "HTTP/1.1 200 OK\r\n\r\nSet-Cookie: in the body\r\n", 0},
  };
  for (const auto &c : kCases) {
    FILE *f = tmpfile();
    fputs(c.szHeader, f);
    rewind(f);
    EXPECT_EQ(c.bPrivate, HttpHeaderPrivate(f, c.bRequest)) << c.szHeader;
    fclose(f);
  }
}

TEST(CacheTimeTest, ArithmeticSaturates) {
  const uint64_t kMax = UINT64_MAX;
  static const struct {
    uint64_t nBase, nCount, nUnit, nWant;
  } kCases[] = {
      {100, 3, 10, 130},
      {0, 0, 600000000ull, 0},
      {kMax - 5, 1, 5, kMax},             // the sum reaches the top exactly
      {kMax - 5, 1, 6, kMax},             // and would pass it
      {1, kMax / 10000000ull + 1, 10000000ull, kMax},  // the product would wrap
      {0, kMax, 0, 0},
  };
  for (const auto &c : kCases)
    EXPECT_EQ(c.nWant, CacheTimeAfter(c.nBase, c.nCount, c.nUnit)) << c.nBase << " " << c.nCount << " " << c.nUnit;
}

TEST_F(CacheFileTest, HugeLifetimesStayFresh) {
  const uint64_t nStored = FileTimeOf("Thu, 01 Dec 2024 10:00:00 GMT");
  const uint64_t nNow = nStored + 90 * 10000000ull;
  // A max-age whose time would wrap past the largest value once counted
  // old copies as fresh and new ones as expired; now it is the far future.
  static const char *const kFresh[] = {
      "HTTP/1.1 200 OK\r\nCache-Control: public, max-age=99999999999999999999\r\n\r\n",
      "HTTP/1.1 200 OK\r\nCache-Control: public, max-age=1844674407371\r\n\r\n",
      "HTTP/1.1 200 OK\r\nExpires: Thu, 01 Dec 29999 09:00:00 -99999999\r\n\r\n",
  };
  for (const char *sz : kFresh) EXPECT_EQ(1, Fresh(sz, nNow, nStored)) << sz;
}

TEST(NoCacheListTest, Patterns) {
  char szName[] = "/tmp/nocache_test_XXXXXX";
  int fd = mkstemp(szName);
  ASSERT_GE(fd, 0);
  FILE *f = fdopen(fd, "w");
  fputs("'http,,*,*,/quoted*\r\n \"http,,*,*,/blank*\n\n\"http,,*,*,/dq*\nhttp,,*,8080,/*\n", f);
  fclose(f);
  PathText saved = g_szNoCacheFile;
  g_szNoCacheFile.Assign(szName);
  static const struct {
    const char *szKey;
    int nHit;
  } kCases[] = {
      {"http,,h,80,/quoted/x", 0},
      {"http,,h,80,/blank/x", 0},
      {"\"http,,h,80,/dq/x", 1},
      {"http,,h,8080,/any", 1},
      {"http,,h,80,/any", 0},
  };
  for (const auto &c : kCases) EXPECT_EQ(c.nHit, Query_NoCache(1, c.szKey)) << c.szKey;
  g_szNoCacheFile.Assign("/nonexistent/no-cache.db");
  EXPECT_EQ(0, Query_NoCache(1, "http,,h,8080,/any"));
  g_szNoCacheFile = saved;
  remove(szName);
}

}  // namespace
