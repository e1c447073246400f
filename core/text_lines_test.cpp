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

namespace {

using Pieces = std::vector<std::string>;

// Every piece the reader gives, from a file holding szText and from the
// text in memory; both must give the same.
Pieces ReadAll(const std::string &text, std::size_t nSize, LongLine eLong, Pieces *pFromMemory) {
  Pieces got;
  std::vector<char> buf(nSize);
  FILE *fp = tmpfile();
  if (fp == nullptr) return got;
  fwrite(text.data(), 1, text.size(), fp);
  rewind(fp);
  std::size_t n;
  while ((n = ReadFileLine(fp, buf.data(), nSize, eLong)) > 0) got.emplace_back(buf.data(), n);
  fclose(fp);
  LineSource src = TextLineSource(text.data(), text.size());
  while ((n = ReadSourceLine(&src, buf.data(), nSize, eLong)) > 0) pFromMemory->emplace_back(buf.data(), n);
  return got;
}

}  // namespace

// The bytes of each piece (line end kept, NULs counted) for both choices of
// an over-long line, from a file and from memory.
TEST(TextLinesTest, SplitOrDropPieces) {
  using std::string_literals::operator""s;
  const struct {
    std::string text;
    std::size_t nSize;
    LongLine eLong;
    Pieces want;
  } kCases[] = {
      {"abcdefgh\nxy\n", 5, LongLine::kSplit, {"abcd", "efgh", "\n", "xy\n"}},
      {"abcdefgh\nxy\n", 5, LongLine::kDrop, {"abcd", "xy\n"}},
      // A line exactly as long as the buffer: its line end alone follows
      // when split, nothing of it when dropped.
      {"abcd\nxy", 5, LongLine::kSplit, {"abcd", "\n", "xy"}},
      {"abcd\nxy", 5, LongLine::kDrop, {"abcd", "xy"}},
      {"abc\nxy", 5, LongLine::kDrop, {"abc\n", "xy"}},
      {"ab\r\ncd\r\n", 8, LongLine::kDrop, {"ab\r\n", "cd\r\n"}},
      {"abcdefg", 5, LongLine::kDrop, {"abcd"}},
      // A NUL byte is data: it neither ends the line nor hides its line end.
      {"a\0b\nnext\n"s, 8, LongLine::kDrop, {"a\0b\n"s, "next\n"}},
      {"a\0bcdefg\nz"s, 4, LongLine::kSplit, {"a\0b"s, "cde", "fg\n", "z"}},
  };
  for (const auto &t : kCases) {
    Pieces fromMemory;
    Pieces got = ReadAll(t.text, t.nSize, t.eLong, &fromMemory);
    EXPECT_EQ(got, t.want) << t.text;
    EXPECT_EQ(fromMemory, t.want) << t.text;
  }
}

// The lines handed over: cut at CR or LF, comments and (unless kept) empty
// lines skipped; the line end of a line exactly as long as the buffer is no
// empty line of its own.
TEST(TextLinesTest, ForEachLineRules) {
  const struct {
    const char *szText;
    LongLine eLong;
    int bKeepEmpty;
    Pieces want;
  } kCases[] = {
      {"abcd\r\n\r\n'x\nabcdefgh\nz", LongLine::kSplit, 1, {"abcd", "", "abcd", "efgh", "z"}},
      {"abcd\n\n ab\r\nabcdefgh\nz", LongLine::kSplit, 0, {"abcd", "abcd", "efgh", "z"}},
      {"abcdefgh\n\nz\n", LongLine::kDrop, 1, {"abcd", "", "z"}},
  };
  for (const auto &t : kCases) {
    LineSource src = TextLineSource(t.szText, strlen(t.szText));
    Pieces got;
    int nEntries = 0;
    int r = ForEachLine<5>(&src, LineRules{t.eLong, kBlankQuoteComments, t.bKeepEmpty}, [&](char *szLine) {
      got.emplace_back(szLine);
      return 0;
    }, &nEntries);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(got, t.want) << t.szText;
    EXPECT_EQ(nEntries, static_cast<int>(t.want.size()));
  }
}
