#include "core/base64.h"

#include <gtest/gtest.h>

#include <string>

TEST(Base64Test, RoundTripAndTolerantDecode) {
  static const struct {
    const char *szPlain, *szCoded;
  } kCases[] = {{"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"alice:secret", "YWxpY2U6c2VjcmV0"}};
  char buf[64];
  for (const auto &c : kCases) {
    Base64Encode(c.szPlain, strlen(c.szPlain), buf, sizeof buf);
    EXPECT_STREQ(c.szCoded, buf);
    Base64Decode(c.szCoded, buf, sizeof buf);
    EXPECT_STREQ(c.szPlain, buf);
  }
  // Characters outside the alphabet are skipped; "=" ends the decoding.
  Base64Decode(" YW\r\nxp*Y2U6=c2VjcmV0", buf, sizeof buf);
  EXPECT_STREQ("alice:", buf);
  // The output never runs past its buffer.
  char small[4];
  EXPECT_EQ(3u, Base64Decode("YWxpY2U6c2VjcmV0", small, sizeof small));
  EXPECT_STREQ("ali", small);
}
