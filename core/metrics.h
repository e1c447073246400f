// What an instance is doing, as counters for a Prometheus scrape (-H).
//
// Every counter is a relaxed atomic: an increment takes no lock and orders
// nothing, so the hot paths pay one atomic add.  While no metrics listener
// is set up (g_bMetrics 0) the increments are skipped altogether.  The
// scrape reads each counter once; two counters read in one scrape may be a
// few events apart, which a rate over minutes never notices.
#ifndef PROXY_CORE_METRICS_H_
#define PROXY_CORE_METRICS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

// The counters, one index each.  Groups keep their members together and in
// the order of their label tables in metrics.cpp.
enum MetricCounter {
  kMetAccepted,
  // Clients refused, by reason.
  kMetRefusedPermission,
  kMetRefusedDnsbl,
  kMetRefusedLimit,
  kMetRefusedAuth,
  // Requests or messages handled, by protocol.
  kMetRequestHttp,
  kMetRequestSmtp,
  kMetRequestPop3,
  kMetRequestImap4,
  kMetRequestFtp,
  kMetRequestSocks,
  kMetRequestSocksUdp,
  // Verdicts, by kind.
  kMetVerdictClean,
  kMetVerdictVirus,
  kMetVerdictWord,
  kMetVerdictSpam,
  kMetVerdictCompressed,
  kMetVerdictBlackList,
  kMetVerdictSurbl,
  // Bytes from and to clients and servers.
  kMetBytesFromClient,
  kMetBytesToClient,
  kMetBytesFromServer,
  kMetBytesToServer,
  // The response caches (HTTP and FTP).
  kMetCacheHit,
  kMetCacheMiss,
  kMetCacheStore,
  kMetCounterCount
};

// The inspection services, in the order of the scan clients.
enum MetricService { kMetServiceVirus, kMetServiceSpam, kMetServiceFilter, kMetServiceCompress, kMetServiceCount };

// How an inspection call ended: a reply was read (the verdict may be
// clean), the service stayed busy, its pipe is missing (not running), no
// reply in time, or another failure.
enum MetricOutcome {
  kMetOutcomeVerdict,
  kMetOutcomeBusy,
  kMetOutcomeMissing,
  kMetOutcomeTimeout,
  kMetOutcomeFailed,
  kMetOutcomeCount
};

// Upper bounds (seconds) of the latency histogram's buckets; +Inf follows.
constexpr int kMetBucketCount = 12;
constexpr double kMetBucketBounds[kMetBucketCount] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                      0.1,   0.25,   0.5,   1,    2.5,   10};

// A latency histogram with fixed buckets: per-bucket counts (not yet
// cumulative; the last one is +Inf) and the sum in microseconds.  The
// number of observations is the sum of the buckets.
struct MetricHistogram {
  std::atomic<uint64_t> nBucket[kMetBucketCount + 1];
  std::atomic<uint64_t> nSumUs;
};

struct ProxyMetrics {
  std::atomic<uint64_t> nCounter[kMetCounterCount];
  std::atomic<uint64_t> nScanCalls[kMetServiceCount][kMetOutcomeCount];
  MetricHistogram scanLatency[kMetServiceCount];
  int64_t nStartTime;  // seconds since the epoch
};

// Set once at start-up (before any connection thread) when -H is given.
extern int g_bMetrics;
extern ProxyMetrics g_Metrics;

// Counts n events (bytes) of a counter.
inline void MetricCount(MetricCounter c, uint64_t n = 1) {
  if (g_bMetrics) g_Metrics.nCounter[c].fetch_add(n, std::memory_order_relaxed);
}

// Counts a positive byte count of a send or receive (failures are -1 and
// a closed peer 0: neither moved a byte).
inline void MetricBytes(MetricCounter c, long long n) {
  if (n > 0) MetricCount(c, static_cast<uint64_t>(n));
}

// Records one inspection call: its outcome and how long it took.
void MetricScanCall(MetricService s, MetricOutcome o, int64_t nMicros);

// Clears every counter and notes the start time (seconds since the epoch).
void MetricsReset(int64_t nStartTime);

// Renders every metric in the Prometheus text exposition format (0.0.4)
// into pOut.  nOpenConns and nThreads are the gauges of this moment; nMode
// the -P mode.  Returns the text length, or -1 when nOut is too small.
int RenderMetrics(char *pOut, std::size_t nOut, int nMode, long long nOpenConns, long long nThreads);

#endif  // PROXY_CORE_METRICS_H_
