#include "ftp/data_port.h"

#include <atomic>
#include <cstdlib>

#include "core/settings.h"
#include "platform/plat_socket.h"

namespace {

// Reads a decimal number of at most nMaxDigits digits at p.  Returns the
// value, or -1 when there is no digit; *ppEnd points behind the digits.
long ReadNumber(const char *p, int nMaxDigits, const char **ppEnd) {
  long n = 0;
  int nDigits = 0;
  while (*p >= '0' && *p <= '9' && nDigits < nMaxDigits) {
    n = n * 10 + (*p - '0');
    ++p;
    ++nDigits;
  }
  *ppEnd = p;
  return nDigits ? n : -1;
}

}  // namespace

int ProbePort(int bIPv4, int *pnPort) { return PlatProbePort(bIPv4, pnPort); }

int GetDataPort(int bIPv4) {
  if (g_nPortLow == 0 || g_nPortHigh == 0) {
    int nPort = 0;
    return ProbePort(bIPv4, &nPort) == 0 ? nPort : -1;
  }
  int nSpan = g_nPortHigh >= g_nPortLow ? g_nPortHigh - g_nPortLow + 1 : 1;
  std::atomic_ref<int> cursor(g_nPortNext);
  for (int i = 0; i < nSpan; ++i) {
    int nTake = cursor.load();
    int nNext;
    do {
      nNext = nTake > g_nPortHigh || nTake < g_nPortLow ? g_nPortLow : nTake;
    } while (!cursor.compare_exchange_weak(nTake, nNext + 1));
    int nPort = nNext;
    if (ProbePort(bIPv4, &nPort) == 0) return nPort;
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
