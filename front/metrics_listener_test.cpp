#include "front/metrics_listener.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(MetricsRouteTest, StatusByRequestLine) {
  static const struct {
    const char *szLine;
    int nWant;
  } kCases[] = {
      {"GET /metrics HTTP/1.1", 200},
      {"GET /metrics?x=1 HTTP/1.0", 200},
      {"HEAD /metrics HTTP/1.1", 405},
      {"POST /metrics HTTP/1.1", 405},
      {"get /metrics HTTP/1.1", 405},  // methods are case-sensitive (RFC 9110 9.1)
      {"GET /metricsx HTTP/1.1", 404},
      {"GET / HTTP/1.1", 404},
      {"POST /other HTTP/1.1", 404},
      {"GET http://host/metrics HTTP/1.1", 404},
      {"GET /metrics", 400},
      {"GET  HTTP/1.1", 400},
      {"", 400},
  };
  for (const auto &c : kCases) EXPECT_EQ(c.nWant, MetricsRoute(c.szLine, strlen(c.szLine))) << c.szLine;
}

}  // namespace
