#include "core/metrics.h"

#include <cstdarg>
#include <cstdio>

int g_bMetrics;
ProxyMetrics g_Metrics;

namespace {

// One labelled member of a counter family: its counter and label text.
struct LabelledCounter {
  MetricCounter nCounter;
  const char *szLabels;
};

// A counter family: name, help text, members.
struct CounterFamily {
  const char *szName;
  const char *szHelp;
  const LabelledCounter *pMembers;
  int nMembers;
};

constexpr LabelledCounter kAccepted[] = {{kMetAccepted, ""}};
constexpr LabelledCounter kRefused[] = {{kMetRefusedPermission, "reason=\"permission\""},
                                        {kMetRefusedDnsbl, "reason=\"dnsbl\""},
                                        {kMetRefusedLimit, "reason=\"limit\""},
                                        {kMetRefusedAuth, "reason=\"auth\""}};
constexpr LabelledCounter kRequests[] = {
    {kMetRequestHttp, "protocol=\"http\""},   {kMetRequestSmtp, "protocol=\"smtp\""},
    {kMetRequestPop3, "protocol=\"pop3\""},   {kMetRequestImap4, "protocol=\"imap4\""},
    {kMetRequestFtp, "protocol=\"ftp\""},     {kMetRequestSocks, "protocol=\"socks\""},
    {kMetRequestSocksUdp, "protocol=\"socks_udp\""}};
constexpr LabelledCounter kVerdicts[] = {
    {kMetVerdictClean, "kind=\"clean\""},         {kMetVerdictVirus, "kind=\"virus\""},
    {kMetVerdictWord, "kind=\"word\""},           {kMetVerdictSpam, "kind=\"spam\""},
    {kMetVerdictCompressed, "kind=\"compressed\""}, {kMetVerdictBlackList, "kind=\"blacklist\""},
    {kMetVerdictSurbl, "kind=\"surbl\""}};
constexpr LabelledCounter kBytes[] = {{kMetBytesFromClient, "peer=\"client\",direction=\"received\""},
                                      {kMetBytesToClient, "peer=\"client\",direction=\"sent\""},
                                      {kMetBytesFromServer, "peer=\"server\",direction=\"received\""},
                                      {kMetBytesToServer, "peer=\"server\",direction=\"sent\""}};
constexpr LabelledCounter kCache[] = {
    {kMetCacheHit, "event=\"hit\""}, {kMetCacheMiss, "event=\"miss\""}, {kMetCacheStore, "event=\"store\""}};

#define FAMILY(name, help, members) {name, help, members, static_cast<int>(sizeof members / sizeof members[0])}
constexpr CounterFamily kFamilies[] = {
    FAMILY("proxy_clients_accepted_total", "Clients accepted by the listener.", kAccepted),
    FAMILY("proxy_clients_refused_total", "Clients refused, by reason.", kRefused),
    FAMILY("proxy_requests_total", "Requests or messages handled, by protocol.", kRequests),
    FAMILY("proxy_verdicts_total", "Inspection and list verdicts, by kind.", kVerdicts),
    FAMILY("proxy_bytes_total", "Bytes received from and sent to clients and servers.", kBytes),
    FAMILY("proxy_cache_total", "Response cache hits, misses and stores.", kCache),
};
#undef FAMILY

const char *const kServiceNames[kMetServiceCount] = {"virus", "spam", "filter", "compress"};
const char *const kOutcomeNames[kMetOutcomeCount] = {"verdict", "busy", "missing", "timeout", "failed"};
const char *const kModeNames[] = {"http", "smtp", "pop3", "imap4", "ftp", "socks"};

// Appends formatted text to a fixed buffer; remembers when it ran out.
struct TextOut {
  char *p;
  std::size_t nSize;
  std::size_t nUsed;
  int bFull;

  void Add(const char *szFmt, ...) __attribute__((format(printf, 2, 3))) {
    if (bFull) return;
    va_list ap;
    va_start(ap, szFmt);
    int n = vsnprintf(p + nUsed, nSize - nUsed, szFmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<std::size_t>(n) >= nSize - nUsed) {
      bFull = 1;
      return;
    }
    nUsed += static_cast<std::size_t>(n);
  }
};

uint64_t Read(const std::atomic<uint64_t> &a) { return a.load(std::memory_order_relaxed); }

void AddHeader(TextOut *pOut, const char *szName, const char *szType, const char *szHelp) {
  pOut->Add("# HELP %s %s\n# TYPE %s %s\n", szName, szHelp, szName, szType);
}

void AddHistogram(TextOut *pOut, const char *szName, const char *szService, const MetricHistogram &h) {
  // The buckets of the text format are cumulative.
  uint64_t nCum = 0;
  for (int i = 0; i < kMetBucketCount; ++i) {
    nCum += Read(h.nBucket[i]);
    pOut->Add("%s_bucket{service=\"%s\",le=\"%g\"} %llu\n", szName, szService, kMetBucketBounds[i],
              static_cast<unsigned long long>(nCum));
  }
  nCum += Read(h.nBucket[kMetBucketCount]);
  pOut->Add("%s_bucket{service=\"%s\",le=\"+Inf\"} %llu\n", szName, szService, static_cast<unsigned long long>(nCum));
  pOut->Add("%s_sum{service=\"%s\"} %.6f\n", szName, szService, static_cast<double>(Read(h.nSumUs)) / 1e6);
  pOut->Add("%s_count{service=\"%s\"} %llu\n", szName, szService, static_cast<unsigned long long>(nCum));
}

}  // namespace

void MetricScanCall(MetricService s, MetricOutcome o, int64_t nMicros) {
  if (!g_bMetrics) return;
  g_Metrics.nScanCalls[s][o].fetch_add(1, std::memory_order_relaxed);
  MetricHistogram &h = g_Metrics.scanLatency[s];
  if (nMicros < 0) nMicros = 0;
  double dSeconds = static_cast<double>(nMicros) / 1e6;
  int i = 0;
  while (i < kMetBucketCount && dSeconds > kMetBucketBounds[i]) ++i;
  h.nBucket[i].fetch_add(1, std::memory_order_relaxed);
  h.nSumUs.fetch_add(static_cast<uint64_t>(nMicros), std::memory_order_relaxed);
}

void MetricsReset(int64_t nStartTime) {
  for (auto &c : g_Metrics.nCounter) c.store(0, std::memory_order_relaxed);
  for (auto &row : g_Metrics.nScanCalls)
    for (auto &c : row) c.store(0, std::memory_order_relaxed);
  for (auto &h : g_Metrics.scanLatency) {
    for (auto &b : h.nBucket) b.store(0, std::memory_order_relaxed);
    h.nSumUs.store(0, std::memory_order_relaxed);
  }
  g_Metrics.nStartTime = nStartTime;
}

int RenderMetrics(char *pOut, std::size_t nOut, int nMode, long long nOpenConns, long long nThreads) {
  if (nOut == 0) return -1;
  TextOut out{pOut, nOut, 0, 0};
  AddHeader(&out, "proxy_info", "gauge", "The protocol this instance serves.");
  out.Add("proxy_info{mode=\"%s\"} 1\n", nMode >= 0 && nMode <= 5 ? kModeNames[nMode] : "other");
  AddHeader(&out, "proxy_start_time_seconds", "gauge", "Start time of the instance, seconds since the epoch.");
  out.Add("proxy_start_time_seconds %lld\n", static_cast<long long>(g_Metrics.nStartTime));
  AddHeader(&out, "proxy_connections_open", "gauge", "Client connections being served now.");
  out.Add("proxy_connections_open %lld\n", nOpenConns);
  AddHeader(&out, "proxy_threads", "gauge", "Threads of the process now.");
  out.Add("proxy_threads %lld\n", nThreads);

  for (const CounterFamily &f : kFamilies) {
    AddHeader(&out, f.szName, "counter", f.szHelp);
    for (int i = 0; i < f.nMembers; ++i) {
      const LabelledCounter &m = f.pMembers[i];
      unsigned long long n = Read(g_Metrics.nCounter[m.nCounter]);
      if (m.szLabels[0])
        out.Add("%s{%s} %llu\n", f.szName, m.szLabels, n);
      else
        out.Add("%s %llu\n", f.szName, n);
    }
  }

  const char *szCalls = "proxy_inspection_calls_total";
  AddHeader(&out, szCalls, "counter", "Calls of the inspection services, by service and outcome.");
  for (int s = 0; s < kMetServiceCount; ++s)
    for (int o = 0; o < kMetOutcomeCount; ++o)
      out.Add("%s{service=\"%s\",outcome=\"%s\"} %llu\n", szCalls, kServiceNames[s], kOutcomeNames[o],
              static_cast<unsigned long long>(Read(g_Metrics.nScanCalls[s][o])));
  const char *szLatency = "proxy_inspection_duration_seconds";
  AddHeader(&out, szLatency, "histogram", "Duration of inspection calls, waiting for the service included.");
  for (int s = 0; s < kMetServiceCount; ++s) AddHistogram(&out, szLatency, kServiceNames[s], g_Metrics.scanLatency[s]);
  return out.bFull ? -1 : static_cast<int>(out.nUsed);
}
