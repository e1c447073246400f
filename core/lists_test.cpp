#include "core/lists.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/settings.h"
#include "tests/unit/test_support.h"

namespace {

struct MatchCase {
  const char *szPattern;
  const char *szText;
  int nWant;
};

TEST(TextMatchTest, Table) {
  static const MatchCase kCases[] = {
      {"abc", "abc", 1},
      {"abc", "ABC", 1},
      {"abc", "abcd", 0},
      {"", "", 1},
      {"*", "", 1},
      {"*", "anything at all", 1},
      {"*.sub.test", "host.sub.test", 1},
      {"*.sub.test", "HOST.SUB.TEST", 1},
      {"*.sub.test", "sub.test", 0},
      {"*.test", "a.test.test", 0},  // the first ".test" found is not the tail
      {"ab*", "ABC", 1},
      {"ab*", "a", 0},
      {"abcd*", "abc", 0},
      {"http://site.test/*", "http://site.test/dir/page.html", 1},
      {"a*c", "ac", 1},
      {"a*b*c", "ac", 0},
      {"a*b*c", "aXbYcZ", 0},
      {"a*b*", "aXbYcZ", 1},
      {"https://*:*/", "https://host.test:443/", 1},
      {"https://*:*/", "https://host.test:443/x", 0},
      // Backing up finds what the plain scan misses.
      {"*aab", "xaaab", 1},
      {"*ab*", "aab", 1},
      {"*ab", "abab", 0},
      // And the plain scan's own matches are kept: it skips the "ab" at 1
      // (it fails at the second "a") and finds the tail.
      {"*ab", "aabab", 1},
      {"*aab*b", "aaabXaabb", 1},
      // Only ASCII letters fold.
      {"[", "{", 0},
      {"\xC4*", "\xC4x", 1},
      {"\xC4", "\xE4", 0},
  };
  for (const MatchCase &c : kCases) {
    std::string pattern = c.szPattern;
    EXPECT_EQ(c.nWant, TextMatch(pattern.data(), c.szText)) << c.szPattern << " / " << c.szText;
    EXPECT_EQ(pattern, c.szPattern) << "pattern changed";
  }
}

TEST(TextMatchTest, LongTexts) {
  std::string text(16384, 'a');
  std::string pattern(4002, 'a');  // "*", 4,000 letters, "b"
  pattern.front() = '*';
  pattern.back() = 'b';
  EXPECT_EQ(0, TextMatch(pattern.data(), text.c_str()));
  text.back() = 'b';
  EXPECT_EQ(1, TextMatch(pattern.data(), text.c_str()));
}

TEST(AddressMatchTest, Table) {
  static const MatchCase kCases[] = {
      {"*", "10.1.2.3", 1},
      {"10.0.*", "10.0.3.4", 1},
      {"10.0.*", "10.1.3.4", 0},
      {"10.0.*", "10.00.3.4", 0},
      {"fe80:*", "FE80::1", 0},  // exact case
      {"10.0.0.0/24", "10.0.0.77", 1},
      {"10.0.0.0/24", "10.0.1.77", 0},
      {"10.0.0.0/24", "110.0.0.5", 0},
      {"172.16.16.0/20", "172.16.31.255", 1},
      {"172.16.16.0/20", "172.16.32.0", 0},
      {"128.0.0.0/1", "200.1.1.1", 1},
      {"128.0.0.0/1", "127.1.1.1", 0},
      {"10.0.0.4/31", "10.0.0.5", 1},
      {"10.0.0.4/31", "10.0.0.6", 0},
      {"10.0.0.5/30", "10.0.0.8", 1},  // the range starts at the written octet
      {"0.0.0.0/0", "10.1.2.3", 1},
      {"0.0.0.0/0", "::1", 1},
      {"10.0.0.1/32", "10.0.0.1", 1},
      {"10.0.0.1/32", "10.0.0.1.5", 0},
      {"1.2.3.4/24", "1.2.3.999", 0},
      // Malformed IPv4 prefixes fall back to plain equality.
      {"1.2.3/99", "1.2.3.4", 0},
      {"1.2.3/99", "1.2.3/99", 1},
      {"1.2.3.4/33", "1.2.3.4", 0},
      {"1.2.3.256/24", "1.2.3.4", 0},
      {"1.2.3.4/2a", "1.2.3.4", 0},
      {"10.0.0.1", "10.0.0.1", 1},
      {"localhost", "LOCALHOST", 0},
      {"", "10.0.0.1", 0},
      // IPv6.
      {"2001:db8::/32", "2001:0DB8::1", 0},
      {"2001:db8::/32", "2001:db8::1", 1},
      {"2001:db8::/30", "2001:dbb::1", 1},
      {"2001:db8::/30", "2001:dbc::1", 0},
      {"::1", "0:0:0:0:0:0:0:1", 1},
      {"::", "0::0", 1},
      {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8", 1},
      {"::1/128", "::1", 1},
      {"::2/127", "::3", 1},
      {"::2/127", "::4", 0},
      {"::/0", "10.0.0.1", 1},
      {"::1/129", "::1", 0},
      {"::ffff:10.0.0.1", "::ffff:a00:1", 1},
      {"::ffff:10.0.0.0/120", "::ffff:10.0.0.99", 1},
      {"2001:db8::1", "10.0.0.1", 0},
      // Malformed IPv6 texts never match, not even themselves.
      {"::::::::::::1", "::1", 0},
      {"::::::::::::1", "::::::::::::1", 0},
      {"1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8:9", 0},
      {"1::2:3:4:5:6:7:8", "1::2:3:4:5:6:7:8", 0},
      {"12345::", "12345::", 0},
      {"1::2::3", "1::2::3", 0},
      {"1:2:3:4:5:6:7:", "1:2:3:4:5:6:7:", 0},
      {"::1.2.3", "::1.2.3", 0},
      {"2001:db8::1", "2001:db8::1%eth0", 0},
  };
  for (const MatchCase &c : kCases) {
    std::string pattern = c.szPattern;
    EXPECT_EQ(c.nWant, AddressMatch(pattern.data(), c.szText)) << c.szPattern << " / " << c.szText;
  }
}

TEST(AddressMatchTest, VeryLongTexts) {
  std::string longV6;
  for (int i = 0; i < 300; ++i) longV6 += "1:";
  longV6 += "1";
  std::string dotted(600, '1');
  for (std::size_t i = 3; i < dotted.size(); i += 4) dotted[i] = '.';
  std::string colons(600, ':');
  const std::string kTexts[] = {longV6, dotted, colons, longV6 + "/64", dotted + "/24"};
  for (const std::string &pattern : kTexts) {
    for (const std::string &address : kTexts) {
      // Only the non-IPv6 texts match themselves, by plain equality.
      int nWant = pattern == address && pattern.find(':') == std::string::npos;
      std::string p = pattern;
      EXPECT_EQ(nWant, AddressMatch(p.data(), address.c_str()));
    }
    std::string p = pattern;
    EXPECT_EQ(0, AddressMatch(p.data(), "::1"));
  }
}

// A data folder of its own for each test; the list paths point into it.
class ListFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_restore.Save(g_szDataDir, g_szConPermFile, g_szConwlFile, g_szZipFile, g_szAccessLogMask, g_szSocksPtlFile,
                   g_nPortLow, g_nPortHigh);
    g_szDataDir.Format("%s/", m_dir.Path().c_str());
    g_szConPermFile.Assign(Path("http-con.ini"));
    g_szConwlFile.Assign(Path("http-conwl.db"));
    g_szZipFile.Assign(Path("smtp-zip.db"));
    g_szAccessLogMask.Assign(Path("ncsalog-mask.db"));
    g_szSocksPtlFile.Assign(Path("socks-ptl.ini"));
    g_nPortLow = g_nPortHigh = 0;
  }
  std::string Path(const char *szName) const { return m_dir.Path(szName); }
  void Write(const char *szName, const std::string &content) const { testsupport::WriteFile(Path(szName), content); }
  // Writes the file, or removes it when szContent is nullptr.
  void Put(const char *szName, const char *szContent) const {
    if (szContent)
      Write(szName, szContent);
    else
      std::filesystem::remove(Path(szName));
  }

  testsupport::TempDir m_dir{"lists"};
  testsupport::Restorer m_restore;
};

TEST_F(ListFilesTest, DbListBuiltInHttpsRule) {
  std::string black = Path("black.db"), white = Path("white.db");
  // No files at all: only the built-in rule of the black list hits.
  EXPECT_EQ(1, QueryDBList(black.c_str(), "https://host.test:443/", nullptr));
  EXPECT_EQ(0, QueryDBList(black.c_str(), "https://host.test:443/page", nullptr));
  EXPECT_EQ(0, QueryDBList(black.c_str(), "https://host.test/", nullptr));
  EXPECT_EQ(0, QueryDBList(black.c_str(), "http://host.test:443/x", "https://host.test:443/"));
  EXPECT_EQ(0, QueryDBList(white.c_str(), "https://host.test:443/", nullptr));
}

TEST_F(ListFilesTest, DbListLines) {
  std::string white = Path("white.db");
  Write("white.db",
        " *\n\"*\n'*\n"  // comments
        "\n"             // empty: never lists an empty key
        "http://ok.test/*\r\n"
        "*.good.test\n");
  static const struct {
    const char *szKey1;
    const char *szKey2;
    int nWant;
  } kCases[] = {
      {"http://ok.test/a", nullptr, 1},   {"HTTP://OK.TEST/", nullptr, 1},  {"http://bad.test/", nullptr, 0},
      {"http://bad.test/", "www.good.test", 1}, {"www.good.test.evil", nullptr, 0}, {"", nullptr, 0},
      {"x", "", 0},
  };
  for (const auto &c : kCases)
    EXPECT_EQ(c.nWant, QueryDBList(white.c_str(), c.szKey1, c.szKey2)) << c.szKey1;
}

// The white list is asked first and wins; the black list refuses only what
// the white list does not name (the built-in "https://host:port/" rule too).
TEST_F(ListFilesTest, WhiteBlackVerdict) {
  Write("white.db", "http://both.test/*\n*,socks,tcp,ok.test,*\nhttps://open.test:443/\n");
  Write("black.db", "http://both.test/*\nhttp://bad.test/*\n*,socks,tcp,*\n");
  static const struct {
    const char *szKey1;
    const char *szKey2;
    ListVerdict nWant;
  } kCases[] = {
      {"http://both.test/a", nullptr, kListWhite},
      {"http://bad.test/a", nullptr, kListBlack},
      {"http://other.test/", nullptr, kListNone},
      {"http://other.test/", "http://bad.test/x", kListBlack},
      {"1.2.3.4,socks,tcp,ok.test,80", nullptr, kListWhite},
      {"1.2.3.4,socks,tcp,no.test,80", nullptr, kListBlack},
      {"https://host.test:443/", nullptr, kListBlack},
      {"https://open.test:443/", nullptr, kListWhite},
  };
  for (const auto &c : kCases) EXPECT_EQ(c.nWant, WhiteBlackVerdict(c.szKey1, c.szKey2)) << c.szKey1;
}

// Lists are held in memory between lookups; every kind of edit still takes
// effect with the next lookup, also one that keeps the size and is made
// within the same clock tick as the last read.
TEST_F(ListFilesTest, EditsTakeEffectAtTheNextLookup) {
  std::string white = Path("white.db");
  auto settle = [&] {
    // An old change time makes the copy one the cache keeps.
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, white.c_str(), times, 0));
  };
  static const struct {
    const char *szEdit;  // what the edit does
    int bSettle;         // the edited file looks old again
  } kEdits[] = {{"in place, same size", 1}, {"in place, same size, same moment", 0}, {"by rename", 1}};
  Write("white.db", "http://aaa.test/\n");
  settle();
  EXPECT_EQ(1, QueryDBList(white.c_str(), "http://aaa.test/", nullptr));
  char cNext = 'b';
  for (const auto &e : kEdits) {
    std::string host = std::string("http://") + std::string(3, cNext) + ".test/";
    if (strstr(e.szEdit, "rename")) {
      Write("white.new", host + "\n");
      std::filesystem::rename(Path("white.new"), white);
    } else {
      FILE *fp = fopen(white.c_str(), "r+");
      ASSERT_NE(nullptr, fp);
      fputs((host + "\n").c_str(), fp);
      fclose(fp);
    }
    if (e.bSettle) settle();
    EXPECT_EQ(1, QueryDBList(white.c_str(), host.c_str(), nullptr)) << e.szEdit;
    EXPECT_EQ(0, QueryDBList(white.c_str(), "http://aaa.test/", nullptr)) << e.szEdit;
    ++cNext;
  }
  std::filesystem::remove(white);
  EXPECT_EQ(0, QueryDBList(white.c_str(), "http://ddd.test/", nullptr));
}

TEST_F(ListFilesTest, DbListLineLength) {
  std::string black = Path("black.db");
  // 4,095 characters are one line: the trailing "*" stays part of it.
  std::string prefix = "http://" + std::string(4095 - 8, 'a');
  Write("black.db", prefix + "*\n");
  EXPECT_EQ(1, QueryDBList(black.c_str(), (prefix + "/page").c_str(), nullptr));
  EXPECT_EQ(0, QueryDBList(black.c_str(), "other", nullptr));
  // One more character: the "*" is a line of its own and lists everything.
  Write("black.db", std::string(4095, 'q') + "*\n");
  EXPECT_EQ(1, QueryDBList(black.c_str(), "other", nullptr));
}

TEST_F(ListFilesTest, ConnectPermission) {
  static const struct {
    const char *szContent;  // nullptr: no file
    const char *szClient;
    int nWant;
  } kCases[] = {
      {nullptr, "10.0.0.1", 1},
      {"", "10.0.0.1", 1},
      {" comment\n\"comment\n'comment\n", "10.0.0.1", 1},
      {"192.168.0.0/16\n", "10.0.0.1", 0},
      {"192.168.0.0/16\n", "192.168.3.4", 1},
      {"10.0.0.1 reject\n10.0.0.0/8\n", "10.0.0.1", 0},
      {"10.0.0.1 reject\n10.0.0.0/8\n", "10.0.0.2", 1},
      {"10.0.0.1 pass\n", "10.0.0.1", 2},
      {"10.0.0.1 Pass\n", "10.0.0.1", 1},
      {"10.0.0.1 other\n", "10.0.0.1", 1},
      {"10.0.0.1 reject \r\n", "10.0.0.1", 0},
      {"10.0.0.1 reject\r\n", "10.0.0.1", 0},
      {"10.0.0.1  pass\n", "10.0.0.1", 2},
      {"' only comments\n\n' and an empty line\n", "10.0.0.1", 0},
      {"::1 pass\n", "0:0::1", 2},
      {"2001:db8::/32 reject\n*\n", "2001:db8::5", 0},
      {"2001:db8::/32 reject\n*\n", "2001:db9::5", 1},
  };
  for (const auto &c : kCases) {
    Put("http-con.ini", c.szContent);
    EXPECT_EQ(c.nWant, QueryConnectPerimisson(c.szClient)) << (c.szContent ? c.szContent : "(none)");
  }
}

// szHead, nFill copies of c, szTail.
std::string Padded(const char *szHead, std::size_t nFill, char c, const char *szTail) {
  std::string s = szHead;
  s.append(nFill, c);
  return s.append(szTail);
}

TEST_F(ListFilesTest, ConnectPermissionLineLength) {
  // A comment of exactly 511 characters is one comment line.
  Write("http-con.ini", Padded("'", 510, 'c', "\r\n"));
  EXPECT_EQ(1, QueryConnectPerimisson("10.0.0.1"));
  Write("http-con.ini", Padded("'", 510, 'c', "\n"));
  EXPECT_EQ(1, QueryConnectPerimisson("10.0.0.1"));
  // One more character and its second piece is an entry.
  Write("http-con.ini", Padded("'", 511, 'c', "\n"));
  EXPECT_EQ(0, QueryConnectPerimisson("10.0.0.1"));
  Write("http-con.ini", std::string(511, 'q') + "10.0.0.1 pass\n");
  EXPECT_EQ(2, QueryConnectPerimisson("10.0.0.1"));
}

TEST_F(ListFilesTest, ClientWhiteList) {
  static const struct {
    const char *szContent;
    const char *szClient;
    int nWant;
  } kCases[] = {
      {nullptr, "10.0.0.1", 0},
      {"10.0.0.1\n", "10.0.0.1", 1},
      {"10.0.0.1\r\n", "10.0.0.1", 1},
      {" 10.0.0.1\n'10.0.0.1\n\n", "10.0.0.1", 0},
      {"10.0.0.0/24\n", "10.0.0.9", 1},
      {"10.0.0.0/24\n", "10.0.1.9", 0},
      {"192.168.*\n::1\n", "::1", 1},
  };
  for (const auto &c : kCases) {
    Put("http-conwl.db", c.szContent);
    EXPECT_EQ(c.nWant, ClientWhiteListed(c.szClient)) << (c.szContent ? c.szContent : "(none)");
  }
  Write("http-conwl.db", std::string(255, 'q') + "10.0.0.1\n");
  EXPECT_EQ(1, ClientWhiteListed("10.0.0.1"));
}

TEST_F(ListFilesTest, ZipAndMaskLists) {
  using Lookup = int (*)(const char *, int);
  static const struct {
    const char *szFile;
    Lookup fn;
  } kLists[] = {{"smtp-zip.db", ZipListed}, {"ncsalog-mask.db", LogMasked}};
  static const struct {
    const char *szContent;
    const char *szAddr;
    int nPort;
    int nWant;
  } kCases[] = {
      {nullptr, "10.0.0.1", 25, 0},
      {"10.0.0.1:25\n", "10.0.0.1", 25, 1},
      {"10.0.0.1:25\n", "10.0.0.1", 2525, 0},
      {"*:8080\r\n", "::1", 8080, 1},
      {"10.0.0.*\n", "10.0.0.7", 110, 1},
      {" *\n\"*\n'*\n\r*\n", "10.0.0.1", 25, 0},
  };
  for (const auto &list : kLists) {
    for (const auto &c : kCases) {
      Put(list.szFile, c.szContent);
      EXPECT_EQ(c.nWant, list.fn(c.szAddr, c.nPort)) << list.szFile << ": " << (c.szContent ? c.szContent : "(none)");
    }
    Write(list.szFile, std::string(255, 'q') + "*:25\n");
    EXPECT_EQ(1, list.fn("10.0.0.1", 25)) << list.szFile;
    // A key too long to build is not listed, even by "*".
    Write(list.szFile, "*\n");
    EXPECT_EQ(0, list.fn(std::string(400, 'h').c_str(), 25)) << list.szFile;
  }
  // Modes without an access log have no mask list.
  g_szAccessLogMask.Clear();
  EXPECT_EQ(0, LogMasked("10.0.0.1", 25));
}

TEST_F(ListFilesTest, SocksBuiltInRules) {
  static const struct {
    int nPort;
    int nClass;
    int nPass;
  } kCases[] = {
      {21, 4, 0},  {22, 6, 1},  {23, 6, 1},  {25, 1, 0},  {80, 0, 0},   {110, 2, 0},
      {143, 3, 0}, {443, 0, 1}, {465, 1, 1}, {993, 3, 1}, {995, 2, 1}, {8080, 5, 0},
  };
  for (const auto &c : kCases) {
    int32_t nPass = 7;
    EXPECT_EQ(c.nClass, Query_SocksProtocol("host.test", c.nPort, &nPass)) << c.nPort;
    EXPECT_EQ(c.nPass, nPass) << c.nPort;
  }
  int32_t nPass = 0;
  g_nPortLow = 5000;
  g_nPortHigh = 6000;
  EXPECT_EQ(-1, Query_SocksProtocol("host.test", 8080, &nPass));
  EXPECT_EQ(5, Query_SocksProtocol("host.test", 5000, &nPass));
  EXPECT_EQ(5, Query_SocksProtocol("host.test", 6000, &nPass));
  EXPECT_EQ(-1, Query_SocksProtocol("host.test", 6001, &nPass));
}

TEST_F(ListFilesTest, SocksRuleFile) {
  Write("socks-ptl.ini",
        " 8443,0,1\n"          // comment
        "25\n"                 // no class: malformed
        "x25,1\n"              // port not a number
        "26,9\n"               // no such class
        "26,x\n"               // class not a number
        "10.0.0.1:110,2,1\n"
        "10.0.0.0/24:110,6\n"
        "[2001:db8::1]:143,3,1\n"
        "2001:db8::2:143,4\n"
        "*.mail.test:993,3,1\r\n"
        "587,1,0\n"
        "588,1,2\n"
        "8443,0,1\n");
  static const struct {
    const char *szDest;
    int nPort;
    int nClass;
    int nPass;
  } kCases[] = {
      {"10.0.0.1", 110, 2, 1},   {"10.0.0.1 extra", 110, 2, 1}, {"10.0.0.2", 110, 6, 0},
      {"10.0.1.2", 110, 5, 0},   {"2001:db8::1", 143, 3, 1},    {"2001:db8::2", 143, 4, 0},
      {"2001:db8::3", 143, 5, 0}, {"imap.mail.test", 993, 3, 1}, {"587", 587, 1, 0},
      {"h", 588, 1, 0},          {"h", 8443, 0, 1},             {"h", 25, 5, 0},  // no built-in rules with a file
      {"h", 26, 5, 0},           {"h", 443, 5, 0},
  };
  for (const auto &c : kCases) {
    int32_t nPass = 7;
    EXPECT_EQ(c.nClass, Query_SocksProtocol(c.szDest, c.nPort, &nPass)) << c.szDest << ":" << c.nPort;
    EXPECT_EQ(c.nPass, nPass) << c.szDest << ":" << c.nPort;
  }
  int32_t nPass = 0;
  g_nPortLow = 5000;
  g_nPortHigh = 6000;
  EXPECT_EQ(-1, Query_SocksProtocol("h", 443, &nPass));
  // 254 characters are one line; the rest of a longer line is a rule.
  Write("socks-ptl.ini", std::string(254, 'q') + "25,1,1\n");
  EXPECT_EQ(1, Query_SocksProtocol("h", 25, &nPass));
  EXPECT_EQ(1, nPass);
  // A destination too long to hold matches port rules only.
  Write("socks-ptl.ini", "*:25,1\n25,6\n");
  EXPECT_EQ(6, Query_SocksProtocol(std::string(300, 'h').c_str(), 25, &nPass));
}

}  // namespace
