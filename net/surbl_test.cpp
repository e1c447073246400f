#include "net/surbl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SurblZoneTest, ParseLines) {
  static const struct {
    const char *szLine;
    const char *szZone, *szServer;
    int nLevel, bLevelGiven, bNoCache;
  } kCases[] = {
      {"multi.surbl.example", "multi.surbl.example", "", 2, 0, 0},
      {"zen.example\t192.0.2.53", "zen.example", "192.0.2.53", 2, 0, 0},
      {"zen.example\t192.0.2.53,3", "zen.example", "192.0.2.53", 3, 1, 0},
      {"zen.example,0", "zen.example", "", 0, 1, 0},
      {"zen.example,N", "zen.example", "", 0, 1, 1},
      {"zen.example\t192.0.2.53,n", "zen.example", "192.0.2.53", 0, 1, 1},
      {"a,b.example,1", "a,b.example", "", 1, 1, 0},  // the LAST "," starts the level
      {"zen.example,", "zen.example", "", 0, 1, 0},
  };
  for (const auto &c : kCases) {
    SurblZone z;
    ParseSurblZone(c.szLine, &z);
    EXPECT_STREQ(c.szZone, z.mZone.c_str()) << c.szLine;
    EXPECT_STREQ(c.szServer, z.mServer.c_str()) << c.szLine;
    EXPECT_EQ(c.nLevel, z.nLevel) << c.szLine;
    EXPECT_EQ(c.bLevelGiven, z.bLevelGiven) << c.szLine;
    EXPECT_EQ(c.bNoCache, z.bNoCache) << c.szLine;
  }
}

TEST(SurblHostTest, HostPart) {
  static const struct {
    const char *szText;
    int bHttp;
    int nFound;
    const char *szHost;
  } kCases[] = {
      {"www.example.com", 1, 1, "www.example.com"},
      {"example.com:8080", 1, 1, "example.com"},  // cut at the first other character
      {"mail.example.com", 0, 0, ""},             // mail modes: a plain server name is not looked up
      {"www.example.com", 0, 1, "www.example.com"},
      {"WWW.EXAMPLE.COM/x", 0, 1, "WWW.EXAMPLE.COM"},
      {"http://host.example/path", 0, 1, "host.example"},
      {"user@mx.example.org>", 0, 1, "mx.example.org"},
      {"user@localhost", 0, 0, ""},               // no "." behind the at sign
      {"wwwhost", 0, 0, ""},
      {"x=http://==a.example", 0, 1, "a.example"},
      {"http://===b.example", 0, 1, "b.example"},
      {"http://", 0, 0, ""},
      {"", 1, 0, ""},
      {"_bad.example", 1, 0, ""},
  };
  for (const auto &c : kCases) {
    SurblHost host;
    EXPECT_EQ(c.nFound, SurblHostPart(c.szText, c.bHttp, &host)) << c.szText;
    EXPECT_STREQ(c.szHost, host.c_str()) << c.szText;
  }
  std::string longHost(300, 'a');
  SurblHost host;
  EXPECT_EQ(1, SurblHostPart(longHost.c_str(), 1, &host));
  EXPECT_EQ(256u, host.Length());
}

std::vector<std::string> Names(const char *szHost, const char *szZoneLine, int nStopAt = -1) {
  SurblZone z;
  ParseSurblZone(szZoneLine, &z);
  std::vector<std::string> out;
  int nHit = ForEachSurblQuery(szHost, z, [&](const char *szName) {
    out.push_back(szName);
    return static_cast<int>(out.size()) == nStopAt;
  });
  EXPECT_EQ(nStopAt > 0 && static_cast<int>(out.size()) == nStopAt, nHit != 0) << szHost;
  return out;
}

TEST(SurblQueryTest, NameSequences) {
  using V = std::vector<std::string>;
  // Level 2 (default): the registered domain, then one label more per pass,
  // up to level + 2 names.
  EXPECT_EQ((V{"example.com.z.test", "a.example.com.z.test", "b.a.example.com.z.test", "c.b.a.example.com.z.test"}),
            Names("d.c.b.a.example.com", "z.test"));
  EXPECT_EQ((V{"example.com.z.test", "a.example.com.z.test"}), Names("a.example.com", "z.test"));
  EXPECT_EQ((V{"example.com.z.test"}), Names("example.com", "z.test"));
  EXPECT_EQ((V{"example.com.z.test", "a.example.com.z.test", "b.a.example.com.z.test"}),
            Names("c.b.a.example.com", "z.test,1"));
  // Level 0 and "N": the whole name once.
  EXPECT_EQ((V{"b.a.example.com.z.test"}), Names("b.a.example.com", "z.test,0"));
  EXPECT_EQ((V{"b.a.example.com.z.test"}), Names("b.a.example.com", "z.test\t192.0.2.1,N"));
  // IPv4 addresses: reversed first, then as written.
  EXPECT_EQ((V{"4.3.2.1.z.test", "1.2.3.4.z.test"}), Names("1.2.3.4", "z.test"));
  EXPECT_EQ((V{"4.3.2.1.z.test"}), Names("1.2.3.4", "z.test,0"));
  // A hit ends the walk.
  EXPECT_EQ((V{"example.com.z.test", "a.example.com.z.test"}), Names("c.b.a.example.com", "z.test", 2));
  // Nothing to ask.
  EXPECT_EQ(V{}, Names("localhost", "z.test"));
  EXPECT_EQ(V{}, Names("a..example.com", "z.test,0"));
  EXPECT_EQ(V{}, Names("example.com.", "z.test"));   // "com.." would hold ".."
  EXPECT_EQ(V{}, Names(".example", "z.test,0"));
  EXPECT_EQ(V{}, Names("1..2.3", "z.test"));
  // A name with an empty label further left stops where it appears.
  EXPECT_EQ((V{"example.com.z.test"}), Names("a..example.com", "z.test"));
}

}  // namespace
