// Log lines of the platform layer.  platform/ knows nothing above it, so it
// hands each finished line to a hook that start-up installs (the debug log);
// until a hook is installed the lines are dropped.
#ifndef PROXY_PLATFORM_PLAT_LOG_H_
#define PROXY_PLATFORM_PLAT_LOG_H_

#include <cstdarg>
#include <cstddef>

// Receives one finished line (it already ends with "\n").
using PlatLogFn = void (*)(const char *szLine);

// Installs the hook; nullptr drops the lines again.  Called once at start-up,
// before any thread that logs is running.
void PlatSetLogHook(PlatLogFn pfnLog);

// Formats a line and hands it to the hook; a line longer than the log line
// buffer is cut and keeps its line end.  Does nothing without a hook.
void PlatLogF(const char *szFmt, ...) __attribute__((format(printf, 1, 2)));

// Formats one log line into szLine (nSize bytes); a line that does not fit
// is cut and keeps its line end.  Returns 1, or 0 when the format failed.
// Shared by PlatLogF and the debug log's own formatter.
int PlatFormatLogLine(char *szLine, std::size_t nSize, const char *szFmt, va_list ap);

#endif  // PROXY_PLATFORM_PLAT_LOG_H_
