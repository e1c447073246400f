#include "core/text_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// A line longer than the buffer gives its head once; its rest is dropped,
// never read as a line of its own.
TEST(TextLinesTest, CappedLines) {
  const struct {
    const char *szFile;
    std::vector<std::string> lines;
  } kCases[] = {
      {"", {}},
      {"ab\ncd", {"ab\n", "cd"}},
      {"abcdefgh\nxy\n", {"abcd", "xy\n"}},
      {"abcdefgh", {"abcd"}},
      {"abc\r\n", {"abc\r"}},
  };
  for (const auto &t : kCases) {
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    fputs(t.szFile, fp);
    rewind(fp);
    char szLine[5];
    std::vector<std::string> got;
    while (ReadCappedLine(fp, szLine, static_cast<int>(sizeof szLine))) got.emplace_back(szLine);
    fclose(fp);
    EXPECT_EQ(got, t.lines) << t.szFile;
  }
}
