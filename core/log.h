// The debug log (one line per call, dated file and/or standard error) and
// the common-log-format access log.
#ifndef PROXY_CORE_LOG_H_
#define PROXY_CORE_LOG_H_

#include <cstddef>
#include <cstdint>

// Writes one finished line (it already ends with "\n") prefixed with the
// local time "[hh:mm:ss:mmm] " to the dated file of the debug-log folder
// (-W) and/or standard error (-V).  The time is taken under the lock, so
// lines appear in time order.  Costs one flag test when neither is on.
void DebugLog(const char *szLine);

// Formats a line and hands it to DebugLog; a line longer than the log line
// buffer is cut.
void DebugLogF(const char *szFmt, ...) __attribute__((format(printf, 1, 2)));

// True when DebugLog writes anywhere; lets hot paths skip formatting.
bool DebugLogEnabled();

// The debug log keeps its daily file open between lines; this closes it, so
// the next line opens the file by its name again (after the file was moved
// or removed).
void DebugLogReopen();

// Writes one access-log line for the answered request whose spool file is
// szRequestFile (request line, Basic user, referrer and user agent come from
// it).  Does nothing unless -G is on.
// Peer bytes in the request line, user, referrer and user agent are written
// escaped (EscapeLogText with bQuoted), so a field can neither end the line
// nor its quotes.
void AccessLog(const char *szRequestFile, const char *szClient, int nStatus, uint64_t nBytes);

// Copies nLen bytes into pOut (room nOutSize, always NUL-terminated) with
// every control byte (below 0x20, and 0x7f) written as "\xhh" in lower-case
// hex, except TAB, which can neither end a line nor steer a terminal (the
// program's own lines and settings files hold it); bQuoted escapes TAB too,
// and '"' and '\\'.  An escape that does not fit is
// left out whole.  Returns the length written.  DebugLog applies it to
// every line (all but the line's own end), so callers log peer text as it
// came.
size_t EscapeLogText(const char *pIn, size_t nLen, char *pOut, size_t nOutSize, int bQuoted);

// Clock used by both logs; tests replace it to cross midnight.  Returns
// seconds since the epoch and fills the milliseconds.
using LogClockFn = int64_t (*)(int *pMillis);
void SetLogClock(LogClockFn fn);  // nullptr restores the system clock

#endif  // PROXY_CORE_LOG_H_
