#include "net/data_port.h"

#include <atomic>

#include "core/log.h"
#include "core/number_text.h"
#include "core/settings.h"
#include "platform/plat_udp.h"

int ProbePort(int bIPv4, int *pPort) { return PlatProbePort(bIPv4, pPort); }

namespace {

// Reads a decimal number of at most nMaxDigits digits at p.  Returns the
// value, or -1 when there is no digit; *ppEnd points behind the digits.
long ReadNumber(const char *p, int nMaxDigits, const char **ppEnd) {
  uint64_t n = 0;
  int nDigits = ReadDecimalDigits(&p, nMaxDigits, kDecimalStop, &n);
  *ppEnd = p;
  return nDigits ? static_cast<long>(n) : -1;
}

// Takes the port under the cursor (wrapping to the bottom of the range past
// its top) and advances the cursor, as one step for all threads.
int TakeCursor() {
  std::atomic_ref<int> next(g_nPortNext);
  int nSeen = next.load();
  for (;;) {
    int nTake = nSeen > g_nPortHigh || nSeen < g_nPortLow ? g_nPortLow : nSeen;
    if (next.compare_exchange_weak(nSeen, nTake + 1)) return nTake;
  }
}

}  // namespace

int GetDataPort(int bIPv4) {
  if (g_nPortLow == 0 || g_nPortHigh == 0) {
    int nPort = 0;
    return ProbePort(bIPv4, &nPort) == 0 ? nPort : -1;
  }
  // One sweep of the range: a range where every port is taken must not hold
  // the caller for ever.
  long nSpan = static_cast<long>(g_nPortHigh) - g_nPortLow + 1;
  if (nSpan < 1) nSpan = 1;
  for (long i = 0; i < nSpan; ++i) {
    int nPort = TakeCursor();
    int nProbe = nPort;
    if (ProbePort(bIPv4, &nProbe) == 0) return nPort;
  }
  return -1;
}

int ParseDataPort(int bEpsvForm, int bIPv4, int *pnHigh, int *pnLow, const char *szText) {
  *pnHigh = *pnLow = -1;
  const char *pEnd = szText;
  if (bEpsvForm) {
    long nPort = ReadNumber(szText, 5, &pEnd);
    if (nPort >= 0 && nPort <= 65535) {
      *pnHigh = static_cast<int>(nPort / 256);
      *pnLow = static_cast<int>(nPort % 256);
    }
  } else if (szText[0] != '\0') {
    // The first character is the comma before p1.
    long nHigh = ReadNumber(szText + 1, 3, &pEnd);
    long nLow = -1;
    if (nHigh >= 0 && *pEnd == ',') nLow = ReadNumber(pEnd + 1, 3, &pEnd);
    if (nHigh >= 0 && nHigh <= 255 && nLow >= 0 && nLow <= 255) {
      *pnHigh = static_cast<int>(nHigh);
      *pnLow = static_cast<int>(nLow);
    }
  }
  return GetDataPort(bIPv4);
}

int PeerIsExpected(PlatSocket s, const PlatSockAddr *pPeer, const char *szExpected, int bOwnHost) {
  char szPeer[kAddrTextSize];
  if (PlatAddrText(pPeer, szPeer, sizeof szPeer) != 1) return 0;
  if (PlatSameAddress(szPeer, szExpected)) return 1;
  PlatSockAddr local;
  char szLocal[kAddrTextSize];
  return bOwnHost && PlatLocalAddress(s, &local) == 1 && PlatAddrText(&local, szLocal, sizeof szLocal) == 1 &&
                 PlatSameAddress(szPeer, szLocal)
             ? 1
             : 0;
}

PlatSocket AcceptExpectedPeer(PlatSocket sListen, const char *szExpected, int bOwnHost, PlatSockAddr *pPeer,
                              int *pbRefused, const char *szTag, int nSock) {
  *pbRefused = 0;
  PlatSocket s = PlatAccept(sListen, pPeer);
  if (s == kPlatNoSocket || PeerIsExpected(s, pPeer, szExpected, bOwnHost)) return s;
  char szPeer[kAddrTextSize] = "";
  PlatAddrText(pPeer, szPeer, sizeof szPeer);
  DebugLogF("[%s] [%04d] connection from %s refused (expected %s).\n", szTag, nSock, szPeer, szExpected);
  PlatShutdownClose(s);
  *pbRefused = 1;
  return kPlatNoSocket;
}
