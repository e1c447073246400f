#include "http/pages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/settings.h"
#include "tests/unit/test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

TEST(PageTemplateTest, Fill) {
  static const struct {
    const char *szTemplate, *szVerdict, *szWant;
  } kCases[] = {
      {"a %s b %s c", "V", "a V b V c"},
      {"%s%s%s", "V", "VV%s"},                  // at most two receive the verdict
      {"%d %n %x %%s %", "V", "%d %n %x %s %"},  // nothing else is read
      {"none", "V", "none"},
      {"%s", "%s%n", "%s%n"},                   // the verdict is data, never a format
  };
  for (const auto &c : kCases) {
    char szOut[256];
    size_t n = FillPageTemplate(c.szTemplate, c.szVerdict, szOut, sizeof szOut);
    EXPECT_STREQ(c.szWant, szOut) << c.szTemplate;
    EXPECT_EQ(strlen(c.szWant), n);
  }
  char szSmall[5];
  EXPECT_EQ(4u, FillPageTemplate("%s", "0123456789", szSmall, sizeof szSmall));
  EXPECT_STREQ("0123", szSmall);
}

class NotifyPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    restore_.Save(g_szDataDir);
    g_szDataDir.Format("%s/", dir_.c_str());
  }
  testsupport::TempDir tmp_{"pages"};
  std::string dir_ = tmp_.Path(), a_ = dir_ + "/a", b_ = dir_ + "/b";
  testsupport::Restorer restore_;
};

TEST_F(NotifyPageTest, Split) {
  using namespace std::string_literals;
  static const struct {
    std::string response, body;
  } kCases[] = {
      {"HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody\0with nul\r\n\r\nmore"s, "body\0with nul\r\n\r\nmore"s},
      {"HTTP/1.1 200 OK\r\nA: b\r\n\r\n"s, ""s},
      {"HTTP/1.1 200 OK\r\nno end"s, ""s},
  };
  for (const auto &c : kCases) {
    WriteFile(a_, c.response);
    ASSERT_EQ(1, NotifyPage(kPageSplit, a_.c_str(), b_.c_str(), nullptr));
    EXPECT_EQ(c.response, ReadFile(b_));
    EXPECT_EQ(c.body, ReadFile(a_));
    // The same split from a whole copy that stays.
    WriteFile(a_, "stale");
    ASSERT_EQ(1, WriteResponseBody(b_.c_str(), a_.c_str()));
    EXPECT_EQ(c.response, ReadFile(b_));
    EXPECT_EQ(c.body, ReadFile(a_));
  }
}

TEST_F(NotifyPageTest, VerdictRewritesHeader) {
  const std::string chunked =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: gzip\r\nServer: s\r\n\r\n"
      "5\r\nEICAR\r\n0\r\n\r\n";
  WriteFile(a_, chunked);
  ASSERT_EQ(1, NotifyPage(kPageVirus, a_.c_str(), b_.c_str(), "Eicar"));
  std::string page = BuiltInPage(kPageVirus);
  page.replace(page.find("%s"), 2, "Eicar");
  page.replace(page.find("%s"), 2, "Eicar");
  EXPECT_EQ("HTTP/1.1 200 OK\r\nServer: s\r\nContent-Length: " + std::to_string(page.size()) +
                "\r\nContent-Type: text/html\r\n\r\n" + page,
            ReadFile(a_));
  EXPECT_EQ(chunked, ReadFile(b_));

  WriteFile(a_, "HTTP/1.1 200 OK\r\ncontent-type: image/png\r\nCONTENT-LENGTH: 5\r\n\r\nhello");
  WriteFile(dir_ + "/foundword.html", "w=%s\r\n");
  ASSERT_EQ(1, NotifyPage(kPageWord, a_.c_str(), b_.c_str(), "bad"));
  EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=shift_jis\r\nContent-Length: 6\r\n\r\nw=bad\n",
            ReadFile(a_));
}

}  // namespace
