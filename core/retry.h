// Retries with growing pauses: thread starts and connects are retried up to
// the connect attempt limit (-$), pausing 100, 200, 300 ms ... in between.
#ifndef PROXY_CORE_RETRY_H_
#define PROXY_CORE_RETRY_H_

#include "base/limits.h"
#include "core/settings.h"
#include "platform/plat_time.h"

// Attempts allowed by the connect attempt limit, at least one.
inline int RetryAttempts() { return g_nConRetry > 0 ? g_nConRetry : 1; }

// Calls fnTry() up to nAttempts times (at least once) while it returns 0,
// pausing kRetryStepMs times the attempt number after each failed attempt
// but the last.  fnTry returns 1 done, 0 try again, -1 give up at once.
// Returns fnTry's last result.
template <typename Fn>
int RetryWithGrowingPause(int nAttempts, Fn fnTry) {
  int r = 0;
  for (int i = 1;; ++i) {
    r = fnTry();
    if (r != 0 || i >= nAttempts) return r;
    PlatSleepMs(kRetryStepMs * i);
  }
}

// Starts a detached thread running pfn(pArg), retried over RetryAttempts().
// Returns 0, or the error number of the last attempt.
inline int StartThreadRetry(void (*pfn)(void *), void *pArg) {
  int nErr = 0;
  RetryWithGrowingPause(RetryAttempts(), [&] {
    nErr = PlatStartThread(pfn, pArg);
    return nErr == 0 ? 1 : 0;
  });
  return nErr;
}

#endif  // PROXY_CORE_RETRY_H_
