#include "platform/plat_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "base/limits.h"

namespace {
std::atomic<PlatLogFn> g_pfnLog{nullptr};
}  // namespace

void PlatSetLogHook(PlatLogFn pfnLog) { g_pfnLog.store(pfnLog); }

int PlatFormatLogLine(char *szLine, std::size_t nSize, const char *szFmt, va_list ap) {
  int n = vsnprintf(szLine, nSize, szFmt, ap);
  if (n < 0) return 0;
  if (static_cast<std::size_t>(n) >= nSize) szLine[nSize - 2] = '\n';  // keep the line end of a cut line
  return 1;
}

void PlatLogF(const char *szFmt, ...) {
  PlatLogFn pfnLog = g_pfnLog.load();
  if (!pfnLog) return;
  char szLine[kLogLineSize];
  va_list ap;
  va_start(ap, szFmt);
  int bOk = PlatFormatLogLine(szLine, sizeof szLine, szFmt, ap);
  va_end(ap);
  if (bOk) pfnLog(szLine);
}
