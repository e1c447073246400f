#include "http/response_track.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds the pieces in order; returns the index of the piece that completed
// the response, or -1.
int FeedAll(ResponseTracker *pT, const std::vector<std::string> &pieces) {
  for (size_t i = 0; i < pieces.size(); ++i)
    if (TrackerFeed(pT, pieces[i].data(), pieces[i].size())) return static_cast<int>(i);
  return -1;
}

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
      {"bad chunk size: until close", 0, {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n0\r\n\r\n"}, -1},
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
}

}  // namespace
