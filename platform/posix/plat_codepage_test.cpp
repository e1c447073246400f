#include "platform/plat_codepage.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(PlatConvertTextTest, Utf8AndCp932) {
  static const struct {
    const char *szFrom, *szTo, *szIn;
    int nOut;
    const char *szWant;
    int nSize;
  } kCases[] = {
      {"UTF-8", "CP932", "/\xE6\x97\xA5\xE6\x9C\xAC/", 6, "/\x93\xfa\x96\x7b/", 64},  // /日本/
      {"CP932", "UTF-8", "/\x93\xfa\x96\x7b/", 8, "/\xE6\x97\xA5\xE6\x9C\xAC/", 64},
      {"UTF-8", "CP932", "plain", 5, "plain", 64},
      {"UTF-8", "CP932", "", 0, "", 64},
      {"UTF-8", "CP932", "\xE6\x97", -1, "", 64},         // cut sequence
      {"UTF-8", "CP932", "\xff\xfe", -1, "", 64},         // not UTF-8
      {"UTF-8", "CP932", "\xF0\x9F\x98\x80", -1, "", 64}, // no form in CP932
      {"UTF-8", "CP932", "/\xE6\x97\xA5\xE6\x9C\xAC/", -1, "", 6},  // no room for the NUL
      {"UTF-8", "NO-SUCH-SET", "abc", -1, "", 64},
  };
  for (const auto &c : kCases) {
    char szOut[64];
    memset(szOut, 'q', sizeof szOut);
    EXPECT_EQ(PlatConvertText(c.szFrom, c.szTo, c.szIn, static_cast<int>(strlen(c.szIn)), szOut, c.nSize), c.nOut)
        << c.szIn;
    EXPECT_STREQ(szOut, c.szWant) << c.szIn;
  }
}

}  // namespace
