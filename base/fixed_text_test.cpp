#include "base/fixed_text.h"

#include <gtest/gtest.h>

TEST(FixedTextTest, TruncatesAtCapacityAndReports) {
  FixedText<8> t;
  EXPECT_EQ(1, t.Assign("1234567"));  // N-1 fits
  EXPECT_STREQ("1234567", t.c_str());
  EXPECT_EQ(0, t.Assign("12345678"));  // N is cut
  EXPECT_STREQ("1234567", t.c_str());
  EXPECT_EQ(1, t.Assign("ab"));
  EXPECT_EQ(0, t.Append("cdefgh"));
  EXPECT_STREQ("abcdefg", t.c_str());
  EXPECT_EQ(0, t.Append("x"));  // full
  EXPECT_EQ(7u, t.Length());
}

TEST(FixedTextTest, FormatMayReadItself) {
  FixedText<16> t;
  t.Assign("abc");
  EXPECT_EQ(1, t.Format("[%s]", t.c_str()));
  EXPECT_STREQ("[abc]", t.c_str());
  EXPECT_EQ(1, t.AppendFormat("%d", 42));
  EXPECT_STREQ("[abc]42", t.c_str());
  EXPECT_EQ(0, t.Format("%s%s%s%s", t.c_str(), t.c_str(), t.c_str(), t.c_str()));
  EXPECT_EQ(15u, t.Length());
  EXPECT_EQ(0, t.AppendFormat("zz"));
}

TEST(FixedTextTest, AppendAliasingItself) {
  FixedText<16> t;
  t.Assign("abcd");
  EXPECT_EQ(1, t.Append(t.view()));
  EXPECT_STREQ("abcdabcd", t.c_str());
}

TEST(FixedTextTest, CopyTextRawBuffers) {
  char buf[4];
  EXPECT_EQ(1, CopyText(buf, sizeof buf, "abc"));
  EXPECT_STREQ("abc", buf);
  EXPECT_EQ(0, CopyText(buf, sizeof buf, "abcd"));
  EXPECT_STREQ("abc", buf);
}
