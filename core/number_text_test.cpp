#include "core/number_text.h"

#include <gtest/gtest.h>

#include <climits>

#include "core/text_case.h"

TEST(NumberTextTest, HexDigits) {
  const struct {
    char c;
    int nValue;
  } kCases[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'F', 15}, {'g', -1}, {'G', -1}, {' ', -1}, {'\0', -1}, {'/', -1}};
  for (const auto &t : kCases) EXPECT_EQ(HexValue(t.c), t.nValue) << t.c;
}

TEST(NumberTextTest, DecimalDigitsStopAndLimit) {
  const struct {
    const char *szText;
    int nMaxDigits;
    uint64_t nStop;
    int nDigits;      // digits read
    uint64_t nValue;  // value kept
  } kCases[] = {
      {"", INT_MAX, kDecimalStop, 0, 0},
      {"x12", INT_MAX, kDecimalStop, 0, 0},
      {"65535,", INT_MAX, kDecimalStop, 5, 65535},
      {"123456", 3, kDecimalStop, 3, 123},            // at most nMaxDigits
      {"1234567890", INT_MAX, 100000000, 10, 123456789},  // later digits read, not kept
      {"99999999999999999999999", INT_MAX, 1ull << 60, 23, 9999999999999999999ull},  // no overflow
  };
  for (const auto &t : kCases) {
    const char *p = t.szText;
    uint64_t n = 7;
    EXPECT_EQ(ReadDecimalDigits(&p, t.nMaxDigits, t.nStop, &n), t.nDigits) << t.szText;
    EXPECT_EQ(n, t.nValue) << t.szText;
    EXPECT_EQ(p, t.szText + t.nDigits) << t.szText;
  }
}

TEST(NumberTextTest, CaseInsensitivePrefixes) {
  EXPECT_EQ(StartsNoCase("Content-Length: 5", "content-length:"), 1);
  EXPECT_EQ(StartsNoCase("Conte", "content-length:"), 0);
  EXPECT_EQ(StartsNoCaseN("HTTP/1.1", 4, "http/"), 0);
  EXPECT_EQ(StartsNoCaseN("HTTP/1.1", 5, "http/"), 1);
  EXPECT_EQ(EqualsNoCase("STLS", "stls"), 1);
  EXPECT_EQ(EqualsNoCase("STLS", "stls2"), 0);
}
