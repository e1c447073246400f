#include "http/response_track.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int kBad = 100;  // added to the index of the piece that showed bad framing

// Feeds the pieces in order; returns the index of the piece that completed
// the response, kBad plus it when the framing was refused there, or -1.
int FeedAll(ResponseTracker *pT, const std::vector<std::string> &pieces) {
  for (size_t i = 0; i < pieces.size(); ++i) {
    int nRc = TrackerFeed(pT, pieces[i].data(), pieces[i].size());
    if (nRc != 0) return static_cast<int>(i) + (nRc < 0 ? kBad : 0);
  }
  return -1;
}

const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

TEST(ResponseTrackerTest, EndRules) {
  static const struct {
    const char *szName;
    int bHead;
    std::vector<std::string> pieces;
    int nEndsAt;
  } kCases[] = {
      {"length in one piece", 0, {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"}, 0},
      {"length over pieces", 0, {"HTTP/1.1 200 OK\r\nContent-Le", "ngth: 5\r\n", "\r\nhel", "lo"}, 3},
      {"length not reached", 0, {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello"}, -1},
      {"no length: until close", 0, {"HTTP/1.0 200 OK\r\n\r\nbody\r\n0\r\n\r\n"}, -1},
      {"chunked", 0, {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"}, 0},
      {"chunked split everywhere", 0,
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "5", "\r\nhel", "lo\r", "\n0", "\r\n", "\r\n"}, 6},
      // "0\r\n\r\n" inside chunk data is data, not the end.
      {"zero line inside data", 0,
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7\r\n\n0\r\n\r\n\r\n", "0\r\n\r\n"}, 1},
      {"chunked with trailer", 0,
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\na;ext=1\r\n0123456789\r\n0\r\nX-T: 1\r\n", "\r\n"}, 1},
      {"last chunk without its empty line", 0,
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n"}, -1},
      {"304 ends with its header", 0, {"HTTP/1.1 304 Not Modified\r\nETag: x\r\n", "\r\n"}, 1},
      {"204", 0, {"HTTP/1.1 204 No Content\r\n\r\n"}, 0},
      {"HEAD answer", 1, {"HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n"}, 0},
      {"interim 100", 0, {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}, 1},
      {"header pending", 0, {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n"}, -1},
      // Framing rules (RFC 9112 6.3, 7.1).
      {"chunked wins over a length", 0,
       {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"}, 0},
      {"same length twice", 0, {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nok"}, 0},
      {"length list of one value", 0, {"HTTP/1.1 200 OK\r\nContent-Length: 2, 2\r\n\r\nok"}, 0},
      {"differing lengths", 0, {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok"}, kBad},
      {"length with a sign", 0, {"HTTP/1.1 200 OK\r\nContent-Length: +2\r\n\r\nok"}, kBad},
      {"last coding not chunked: until close", 0, {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\nxx"}, -1},
      {"chunk size not hex", 0, {kChunkedHead + "zz\r\n0\r\n\r\n"}, kBad},
      {"chunk size 0x", 0, {kChunkedHead + "0x5\r\nhello\r\n0\r\n\r\n"}, kBad},
      {"chunk size with sign", 0, {kChunkedHead, "-5\r\nhello\r\n0\r\n\r\n"}, 1 + kBad},
      {"chunk size with blank", 0, {kChunkedHead + "5 \r\nhello\r\n0\r\n\r\n"}, kBad},
      {"chunk size overflow", 0, {kChunkedHead + "10000000000000000\r\n"}, kBad},
      {"leading zeros are no overflow", 0, {kChunkedHead + "0000000000000000005\r\nhello\r\n0\r\n\r\n"}, 0},
      {"chunk data too long", 0, {kChunkedHead + "3\r\nhello\r\n0\r\n\r\n"}, kBad},
      {"bare CR in a chunk line", 0, {kChunkedHead + "5\rX\nhello\r\n0\r\n\r\n"}, kBad},
  };
  for (const auto &c : kCases) {
    ResponseTracker t;
    TrackerInit(&t, c.bHead);
    EXPECT_EQ(c.nEndsAt, FeedAll(&t, c.pieces)) << c.szName;
  }
}

TEST(ResponseTrackerTest, HeaderFacts) {
  ResponseTracker t;
  TrackerInit(&t, 0);
  std::string r = "HTTP/1.1 200 OK\r\nContent-Length: 3000000\r\nConnection: close\r\n\r\n";
  TrackerFeed(&t, r.data(), r.size());
  EXPECT_TRUE(TrackerCutShort(&t));
  EXPECT_FALSE(t.bHeaderPending);
  EXPECT_TRUE(t.bLengthKnown);
  EXPECT_EQ(r.size(), t.nHeaderLen);
  EXPECT_EQ(r.size() + 3000000, t.nExpected);
  EXPECT_TRUE(t.bServerClose);
  EXPECT_EQ(200, t.nStatus);
  TrackerInit(&t, 0);
  r = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
  EXPECT_EQ(1, TrackerFeed(&t, r.data(), r.size()));
  EXPECT_TRUE(t.bServerClose);
  EXPECT_FALSE(TrackerCutShort(&t));
  // Bytes after the end of a response: the connection is not used again.
  TrackerInit(&t, 0);
  r = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokHTTP/1.1 200 OK\r\n";
  EXPECT_EQ(1, TrackerFeed(&t, r.data(), r.size()));
  EXPECT_TRUE(t.bServerClose);
  // Read until the close: never cut short; a chunked body without its end is.
  TrackerInit(&t, 0);
  r = "HTTP/1.1 200 OK\r\n\r\nabc";
  TrackerFeed(&t, r.data(), r.size());
  EXPECT_FALSE(TrackerCutShort(&t));
  TrackerInit(&t, 0);
  r = kChunkedHead + "5\r\nhel";
  TrackerFeed(&t, r.data(), r.size());
  EXPECT_TRUE(TrackerCutShort(&t));
}

}  // namespace
