#include "core/metrics.h"

#include <gtest/gtest.h>

#include <string>

#include "core/settings.h"
#include "core/endpoint_record.h"

namespace {

std::string Render() {
  static char buf[kMetricsTextSize];
  int n = RenderMetrics(buf, sizeof buf, 5, 3, 7);
  EXPECT_GT(n, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

class MetricsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MetricsReset(1700000000);
    g_bMetrics = 1;
  }
  void TearDown() override {
    g_bMetrics = 0;
    MetricsReset(0);
  }
};

TEST_F(MetricsTest, HistogramBucketsAreCumulative) {
  // 0.5 ms, 1 ms exactly (le is inclusive), 30 ms and 20 s (only +Inf).
  for (int64_t nUs : {500, 1000, 30000, 20000000}) MetricScanCall(kMetServiceSpam, kMetOutcomeVerdict, nUs);
  MetricScanCall(kMetServiceSpam, kMetOutcomeTimeout, 0);
  MetricCount(kMetRequestSocksUdp, 100);
  std::string text = Render();
  static const struct {
    const char *szLine;
  } kCases[] = {
      {"proxy_inspection_duration_seconds_bucket{service=\"spam\",le=\"0.001\"} 3\n"},
      {"proxy_inspection_duration_seconds_bucket{service=\"spam\",le=\"0.025\"} 3\n"},
      {"proxy_inspection_duration_seconds_bucket{service=\"spam\",le=\"0.05\"} 4\n"},
      {"proxy_inspection_duration_seconds_bucket{service=\"spam\",le=\"10\"} 4\n"},
      {"proxy_inspection_duration_seconds_bucket{service=\"spam\",le=\"+Inf\"} 5\n"},
      {"proxy_inspection_duration_seconds_count{service=\"spam\"} 5\n"},
      {"proxy_inspection_duration_seconds_sum{service=\"spam\"} 20.031500\n"},
      {"proxy_inspection_calls_total{service=\"spam\",outcome=\"verdict\"} 4\n"},
      {"proxy_inspection_calls_total{service=\"spam\",outcome=\"timeout\"} 1\n"},
      {"proxy_inspection_duration_seconds_count{service=\"virus\"} 0\n"},
      {"proxy_requests_total{protocol=\"socks_udp\"} 100\n"},
      {"proxy_info{mode=\"socks\"} 1\n"},
      {"proxy_threads 7\n"},
  };
  for (const auto &c : kCases) EXPECT_NE(std::string::npos, text.find(c.szLine)) << c.szLine;
}

TEST_F(MetricsTest, NothingCountsWhileOffAndSmallBufferIsRefused) {
  g_bMetrics = 0;
  MetricCount(kMetAccepted);
  MetricScanCall(kMetServiceVirus, kMetOutcomeBusy, 10);
  g_bMetrics = 1;
  EXPECT_NE(std::string::npos, Render().find("proxy_clients_accepted_total 0\n"));
  EXPECT_NE(std::string::npos, Render().find("{service=\"virus\",outcome=\"busy\"} 0\n"));
  char small[64];
  EXPECT_EQ(-1, RenderMetrics(small, sizeof small, 0, 0, 0));
}

TEST(MetricsSwitchTest, AddressAndPort) {
  static const struct {
    const char *szValue;
    int nWant;
    const char *szAddr;
    int nPort;
  } kCases[] = {
      {"127.0.0.1 9180", 1, "127.0.0.1", 9180},
      {"::1 65535", 1, "::1", 65535},
      {"127.0.0.1", 0, "", 0},          // no port
      {"127.0.0.1 0", 0, "", 0},        // port out of range
      {"127.0.0.1 65536", 0, "", 0},
      {"127.0.0.1 91x", 0, "", 0},      // not a number
      {" 9180", 0, "", 0},              // no address
  };
  EndpointRecord ep;
  for (const auto &c : kCases) {
    SetDefaults(&ep);
    EXPECT_EQ(c.nWant, SetMetricsAddress(c.szValue)) << c.szValue;
    EXPECT_STREQ(c.szAddr, g_szMetricsAddr.c_str()) << c.szValue;
    EXPECT_EQ(c.nPort, g_nMetricsPort) << c.szValue;
  }
  SetDefaults(&ep);
}

}  // namespace
