#include "services/cwfs/cwfs.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

std::string Gzip(const std::string &s, int nWindowBits) {
  z_stream zs = {};
  deflateInit2(&zs, 9, Z_DEFLATED, nWindowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, s.size()) + 32, '\0');
  zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(s.data()));
  zs.avail_in = static_cast<uInt>(s.size());
  zs.next_out = reinterpret_cast<Bytef *>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

struct Collected {
  std::string header, body;
  int nStopAfter = -1;  // stop once the body holds this many bytes
};

int Collect(int nPart, const char *p, std::size_t n, void *pCtx) {
  Collected *c = static_cast<Collected *>(pCtx);
  (nPart == kPartHeader ? c->header : c->body).append(p, n);
  return c->nStopAfter >= 0 && c->body.size() >= static_cast<std::size_t>(c->nStopAfter);
}

TEST(HttpContentTest, BodyAsTheReaderSeesIt) {
  const std::string kHead = "HTTP/1.1 200 OK\r\n";
  const std::string kText = "Hello, world of words";
  static const struct {
    const char *szLabel;
    std::string sHeaders;
    std::string sBody;
    int nWant;
    std::string sWantBody;
    const char *szProblem;
  } kCases[] = {
      {"identity", "", kText, 1, kText, ""},
      {"chunked with extension and trailer", "Transfer-Encoding: chunked\r\n",
       "5;name=x\r\nHello\r\n10\r\n, world of words\r\n0\r\nX-Trailer: 1\r\n\r\n", 1, kText, ""},
      {"chunked with bare LF", "Transfer-Encoding: chunked\r\n", "5\nHello\n0\n\n", 1, "Hello", ""},
      {"chunked upper-case hex", "transfer-encoding:  Chunked \r\n", "A\r\n0123456789\r\n0\r\n\r\n", 1,
       "0123456789", ""},
      {"gzip", "Content-Encoding: gzip\r\n", Gzip(kText, 31), 1, kText, ""},
      {"deflate as zlib", "Content-Encoding: deflate\r\n", Gzip(kText, 15), 1, kText, ""},
      {"deflate raw", "Content-Encoding: deflate\r\n", Gzip(kText, -15), 1, kText, ""},
      {"identity coding ignored", "Content-Encoding: identity\r\n", kText, 1, kText, ""},
      {"gzip in the transfer coding", "Transfer-Encoding: gzip, chunked\r\n",
       [&] {
         std::string z = Gzip(kText, 31);
         char szSize[16];
         snprintf(szSize, sizeof szSize, "%zx\r\n", z.size());
         return szSize + z + "\r\n0\r\n\r\n";
       }(),
       1, kText, ""},
      {"stacked codings left alone", "Content-Encoding: gzip, br\r\n", "raw", 1, "raw", "not decoded"},
      {"missing last chunk", "Transfer-Encoding: chunked\r\n", "5\r\nHello\r\n", -1, "Hello", "last chunk missing"},
      {"chunk without CRLF", "Transfer-Encoding: chunked\r\n", "5\r\nHelloX0\r\n\r\n", -1, "Hello",
       "not followed by CRLF"},
      {"16 hex digits", "Transfer-Encoding: chunked\r\n", "1000000000000000\r\nx", -1, "", "too large"},
      {"size line cut", "Transfer-Encoding: chunked\r\n", "5", -1, "", "not terminated"},
      {"gzip cut short", "Content-Encoding: gzip\r\n", Gzip(kText, 31).substr(0, 10), -1, "", "truncated"},
      {"deflate of one byte", "Content-Encoding: deflate\r\n", "x", -1, "", "truncated"},
      {"gzip then garbage", "Content-Encoding: gzip\r\n", Gzip(kText, 31) + "tail", 1, kText, "data after the end"},
  };
  for (const auto &c : kCases) {
    std::string file = kHead + c.sHeaders + "\r\n" + c.sBody;
    Collected got;
    ContentReport report;
    int nRc = WalkHttpContent(file.data(), file.size(), 1 << 20, Collect, &got, &report);
    EXPECT_EQ(nRc, c.nWant) << c.szLabel << ": " << report.mProblem.c_str();
    EXPECT_EQ(got.header, kHead + c.sHeaders) << c.szLabel;
    EXPECT_EQ(got.body, c.sWantBody) << c.szLabel;
    EXPECT_NE(std::string(report.mProblem.c_str()).find(c.szProblem), std::string::npos)
        << c.szLabel << ": " << report.mProblem.c_str();
  }
}

TEST(HttpContentTest, DecodedSizeIsBoundedAndSinkCanStop) {
  // 8 MiB of zeros compress to a few KiB: the bound stops the expansion.
  std::string file = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + Gzip(std::string(8 << 20, '\0'), 31);
  Collected got;
  ContentReport report;
  EXPECT_EQ(WalkHttpContent(file.data(), file.size(), 100000, Collect, &got, &report), -1);
  EXPECT_EQ(got.body.size(), 100000u);
  EXPECT_EQ(report.nBodyBytes, 100000u);
  EXPECT_NE(std::string(report.mProblem.c_str()).find("larger than 100000"), std::string::npos);

  Collected stopper;
  stopper.nStopAfter = 1;
  EXPECT_EQ(WalkHttpContent(file.data(), file.size(), 1 << 30, Collect, &stopper, &report), 0);
  EXPECT_LE(stopper.body.size(), 65536u);

  // Not a response: handed over whole as body.
  Collected raw;
  EXPECT_EQ(WalkHttpContent("plain text", 10, 100, Collect, &raw, &report), 1);
  EXPECT_EQ(raw.header, "");
  EXPECT_EQ(raw.body, "plain text");
  EXPECT_EQ(report.bHttp, 0);
}

TEST(WordListTest, ParseLines) {
  std::string sLong(kMaxWordLength + 1, 'a');
  std::string sMax(kMaxWordLength, 'b');
  std::string text = "' comment\n\" comment\n comment\nword\r\n\tpadded phrase \t\n\n\r\n" + sLong + "\n" + sMax +
                     "\nlast-without-newline";
  std::vector<std::string> words;
  int nSkipped = 0;
  ParseWordList(text.data(), text.size(), &words, &nSkipped);
  std::vector<std::string> want = {"word", "padded phrase", sMax, "last-without-newline"};
  EXPECT_EQ(words, want);
  EXPECT_EQ(nSkipped, 1);
}

TEST(WordMatcherTest, FirstWordAcrossPieces) {
  if (!WordMatcherUsable()) GTEST_SKIP() << "no SSSE3";
  WordMatcher m;
  std::string sError;
  ASSERT_EQ(WordMatcherBuild({"needle", "hay stack", "a.b*c"}, &m, &sError), 1) << sError;
  static const struct {
    std::vector<std::string> pieces;
    int nWant;
  } kCases[] = {
      {{"no match here"}, -1},
      {{"NEEDLE"}, 0},
      {{"nee", "dle"}, 0},                         // across two pieces
      {{"h", "a", "y", " ", "s", "tack"}, 1},      // one byte at a time
      {{"hay stack then needle"}, 1},              // the first to end wins
      {{"a.b*c"}, 2},                               // literal, not a pattern
      {{"aXb*c abbbc"}, -1},
  };
  for (const auto &c : kCases) {
    WordScan scan;
    ASSERT_EQ(WordScanOpen(m, &scan), 1);
    for (const auto &p : c.pieces) WordScanFeed(&scan, p.data(), p.size());
    EXPECT_EQ(WordScanClose(&scan), c.nWant) << c.pieces[0];
  }
  WordMatcherFree(&m);
  EXPECT_EQ(WordMatcherBuild({}, &m, &sError), 0);
}

}  // namespace
