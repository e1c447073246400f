#include "core/file_pieces.h"

#include <gtest/gtest.h>

#include <string>

// The pieces come in order, none larger than asked, and a stop ends the
// reading at once.
TEST(FilePiecesTest, PiecesAndStop) {
  const struct {
    std::size_t nFile;
    std::size_t nPiece;
    int nStopAt;  // piece whose send fails, 0 none
    int nResult;
    int nPieces;
  } kCases[] = {{0, 4, 0, 1, 0}, {4, 4, 0, 1, 1}, {10, 4, 0, 1, 3}, {10, 4, 2, 0, 2}, {10, 4, 1, 0, 1}};
  for (const auto &t : kCases) {
    std::string content;
    for (std::size_t i = 0; i < t.nFile; ++i) content += static_cast<char>('a' + i % 26);
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    fwrite(content.data(), 1, content.size(), fp);
    rewind(fp);
    char buf[8];
    std::string got;
    int nPieces = 0;
    int r = SendFilePieces(fp, buf, t.nPiece, [&](const char *p, std::size_t n) {
      EXPECT_LE(n, t.nPiece);
      got.append(p, n);
      return ++nPieces == t.nStopAt ? 0 : 1;
    });
    fclose(fp);
    EXPECT_EQ(r, t.nResult) << t.nFile;
    EXPECT_EQ(nPieces, t.nPieces) << t.nFile;
    if (t.nStopAt == 0) {
      EXPECT_EQ(got, content);
    }
  }
}
