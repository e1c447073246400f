#include "platform/plat_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "base/limits.h"

namespace {
std::atomic<PlatLogFn> g_pfnLog{nullptr};
}  // namespace

void PlatSetLogHook(PlatLogFn pfnLog) { g_pfnLog.store(pfnLog); }

void PlatLogF(const char *szFmt, ...) {
  PlatLogFn pfnLog = g_pfnLog.load();
  if (!pfnLog) return;
  char szLine[kLogLineSize];
  va_list ap;
  va_start(ap, szFmt);
  int n = vsnprintf(szLine, sizeof szLine, szFmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) >= sizeof szLine) szLine[sizeof szLine - 2] = '\n';  // keep the line end of a cut line
  pfnLog(szLine);
}
