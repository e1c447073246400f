// Time, pauses and threads: the platform's clock and scheduler.
#ifndef PROXY_PLATFORM_PLAT_TIME_H_
#define PROXY_PLATFORM_PLAT_TIME_H_

#include <cstdint>

// Broken-down local time.
struct PlatTm {
  int nYear, nMonth, nDay;          // 4-digit year, 1..12, 1..31
  int nHour, nMinute, nSecond;
  int nWeekDay;                     // 0 = Sunday
  int nYearDay;                     // 0..365
  int bDst;                         // daylight saving in force
  long nGmtOff;                     // seconds east of UTC
};

// Seconds since the epoch; fills *pMillis (0..999) when given.
int64_t PlatNow(int *pMillis);
// Milliseconds from a steady clock, for measuring waits.
int64_t PlatSteadyMs();
// The same clock in microseconds, for measuring short calls.
int64_t PlatSteadyUs();
// Local and UTC broken-down time of a time value.
void PlatLocalTime(int64_t nTime, PlatTm *pTm);
void PlatUtcTime(int64_t nTime, PlatTm *pTm);
// Seconds since the epoch of a UTC broken-down time (fields as in PlatTm).
int64_t PlatMakeUtc(const PlatTm *pTm);
// The current local time in 100-ns units since 1601-01-01, as the file-time
// numbers of log lines and cache comparisons.
uint64_t PlatLocalFileTime();
// A time value as local file-time units.
uint64_t PlatToLocalFileTime(int64_t nTime);

// Pauses the calling thread; 0 yields the processor.
void PlatSleepMs(int nMs);

// Runs pfn(pArg) on a thread of its own (detached, a stack of at least
// 1 MiB): a new one, or with PlatReuseThreads one that finished earlier work
// and waits for more.  Returns 0, or the error number of the failed start.
int PlatStartThread(void (*pfn)(void *), void *pArg);
// With bOn set, a thread whose work is done waits up to 5 s for another
// start instead of ending (creating and ending threads costs more than a
// short connection).  Off by default: programs that wait for their threads
// to end keep that.
void PlatReuseThreads(int bOn);

#endif  // PROXY_PLATFORM_PLAT_TIME_H_
