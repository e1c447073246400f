#include "front/metrics_listener.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/limits.h"
#include "core/lists.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "front/connection.h"
#include "http/http_framing.h"
#include "platform/plat_socket.h"
#include "platform/plat_sys.h"
#include "platform/plat_time.h"

namespace {

PlatSocket g_sMetricsListen = kPlatNoSocket;

bool Equals(const char *p, std::size_t n, const char *sz) { return strlen(sz) == n && memcmp(p, sz, n) == 0; }

// Reads the request head of a scraper: 1 when the whole head arrived (its
// first line in pReader->mHeader), 0 when it did not within the wait or
// the size limit, or was malformed.
int ReadRequestHead(PlatSocket s, HttpReader *pReader) {
  HttpReaderInit(pReader, kHttpRequest, 0);
  char buf[1024];
  std::size_t nTotal = 0;
  const int64_t nEnd = PlatSteadyMs() + kMetricsRequestWaitMs;
  while (!HttpReaderHeaderDone(pReader)) {
    int64_t nLeft = nEnd - PlatSteadyMs();
    if (nLeft <= 0 || nTotal >= kMetricsRequestMax) return 0;
    int n = PlatRecv(s, buf, sizeof buf, static_cast<int>(nLeft));
    if (n <= 0) return 0;
    nTotal += static_cast<std::size_t>(n);
    std::size_t nUsed = 0;
    if (HttpReaderFeed(pReader, buf, static_cast<std::size_t>(n), &nUsed) < 0) return 0;
  }
  return 1;
}

// Sends a whole answer with "Connection: close".
void SendAnswer(PlatSocket s, int nStatus, const char *szExtra, const char *pBody, int nBody) {
  const char *szReason = nStatus == 200   ? "OK"
                         : nStatus == 404 ? "Not Found"
                         : nStatus == 405 ? "Method Not Allowed"
                                          : "Bad Request";
  const char *szType = nStatus == 200 ? "text/plain; version=0.0.4; charset=utf-8" : "text/plain";
  char szHead[512];
  int nHead = snprintf(szHead, sizeof szHead,
                       "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n%sConnection: close\r\n\r\n",
                       nStatus, szReason, szType, nBody, szExtra);
  if (nHead < 0 || static_cast<std::size_t>(nHead) >= sizeof szHead) return;
  if (PlatSend(s, szHead, nHead) == nHead && nBody > 0) PlatSend(s, pBody, nBody);
}

// The number of threads of the process, for the gauge.
long long ThreadsNow() {
  int n = PlatThreadCount();
  return n < 0 ? 0 : n;
}

// One scrape: admission by the permission list, the request head, the
// answer.  The caller closes the socket.
void ServeScrape(PlatSocket s, const PlatSockAddr &peer, HttpReader *pReader, char *pText) {
  char szPeer[kAddrTextSize] = "";
  if (PlatAddrText(&peer, szPeer, sizeof szPeer) != 1 || QueryConnectPerimisson(szPeer) == 0) {
    DebugLogF("[MetricsListener] [%04d] Reject QueryConnectPerimisson() [%s]\n", s, szPeer);
    return;
  }
  if (ReadRequestHead(s, pReader) != 1) {
    SendAnswer(s, 400, "", "bad request\n", 12);
    return;
  }
  const char *pHead = pReader->mHeader;
  int nStatus = MetricsRoute(pHead, strcspn(pHead, "\r\n"));
  if (nStatus == 200) {
    int nText = RenderMetrics(pText, kMetricsTextSize, g_nProxyMode, g_nActiveConn.load(std::memory_order_relaxed),
                              ThreadsNow());
    if (nText < 0) {
      DebugLog("[MetricsListener] metrics text too long\n");
      return;
    }
    SendAnswer(s, 200, "", pText, nText);
  } else if (nStatus == 405) {
    SendAnswer(s, 405, "Allow: GET\r\n", "method not allowed\n", 19);
  } else if (nStatus == 404) {
    SendAnswer(s, 404, "", "not found\n", 10);
  } else {
    SendAnswer(s, 400, "", "bad request\n", 12);
  }
}

// Scrapes are served one after another: they come every few seconds, and
// each one waits at most kMetricsRequestWaitMs for its request.
void MetricsThread(void *) {
  HttpReader *pReader = new (std::nothrow) HttpReader;
  char *pText = new (std::nothrow) char[kMetricsTextSize];
  if (!pReader || !pText) {
    DebugLog("[MetricsListener] memory alloc() failed\n");
    delete pReader;
    delete[] pText;
    return;
  }
  for (;;) {
    int nIndex = 0;
    int nWaited = PlatWaitAcceptable(&g_sMetricsListen, 1, &nIndex);
    if (nWaited != 1) {
      // 0: the process is stopping.
      if (nWaited < 0) DebugLogF("[MetricsListener] wait failed (%d)\n", PlatLastError());
      break;
    }
    PlatSockAddr peer;
    PlatSocket s = PlatAccept(g_sMetricsListen, &peer);
    if (s == kPlatNoSocket) {
      // Out of descriptors: the client stays queued; pause, do not spin.
      PlatSleepMs(10);
      continue;
    }
    PlatSetSendTimeout(s, kMetricsRequestWaitMs);
    ServeScrape(s, peer, pReader, pText);
    PlatShutdownClose(s);
  }
  delete pReader;
  delete[] pText;
}

}  // namespace

int MetricsRoute(const char *pLine, std::size_t nLen) {
  // method SP request-target SP HTTP-version (RFC 9112 3)
  const char *pEnd = pLine + nLen;
  const char *pSp1 = static_cast<const char *>(memchr(pLine, ' ', nLen));
  if (!pSp1 || pSp1 == pLine) return 400;
  const char *pTarget = pSp1 + 1;
  const char *pSp2 = static_cast<const char *>(memchr(pTarget, ' ', static_cast<std::size_t>(pEnd - pTarget)));
  if (!pSp2 || pSp2 == pTarget || strncmp(pSp2 + 1, "HTTP/", 5) != 0) return 400;
  std::size_t nPath = strcspn(pTarget, "? ");
  if (!Equals(pTarget, nPath, "/metrics")) return 404;
  return Equals(pLine, static_cast<std::size_t>(pSp1 - pLine), "GET") ? 200 : 405;
}

int StartMetricsListener() {
  if (g_szMetricsAddr.Empty()) return 0;
  const char *szAddr = g_szMetricsAddr.c_str();
  int r = PlatBindListener(strchr(szAddr, ':') ? 1 : 0, szAddr, g_nMetricsPort, &g_sMetricsListen);
  if (r != 1 || PlatListen(g_sMetricsListen, 16) != 1) {
    DebugLogF("[MetricsListener] cannot listen on %s port %d (%d)\n", szAddr, g_nMetricsPort, PlatLastError());
    if (r == 1) PlatCloseSocket(g_sMetricsListen);
    g_sMetricsListen = kPlatNoSocket;
    return -1;
  }
  MetricsReset(PlatNow(nullptr));
  g_bMetrics = 1;
  int nErr = PlatStartThread(MetricsThread, nullptr);
  if (nErr != 0) {
    DebugLogF("[MetricsListener] beginthread failed.(%d)\n", nErr);
    g_bMetrics = 0;
    PlatCloseSocket(g_sMetricsListen);
    g_sMetricsListen = kPlatNoSocket;
    return -1;
  }
  DebugLogF("[MetricsListener] listen=%s %d\n", szAddr, g_nMetricsPort);
  return 1;
}
