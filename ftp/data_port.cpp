#include "ftp/data_port.h"

#include <atomic>

#include "core/settings.h"
#include "platform/plat_udp.h"

int ProbePort(int bIPv4, int *pPort) { return PlatProbePort(bIPv4, pPort); }

namespace {

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
