#include "platform/plat_time.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>

// Stack of every thread the program starts: one connection thread per
// client, so it is kept small.  The deepest paths (a request's header
// rewriting with a debug-log line, a CONNECT target, the resolver) take well
// under 160 KiB; sanitizer builds need several times more.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kThreadStack = 4 * 1024 * 1024;
#else
constexpr size_t kThreadStack = 256 * 1024;
#endif

namespace {

void FromTm(const struct tm &t, PlatTm *pTm) {
  pTm->nYear = t.tm_year + 1900;
  pTm->nMonth = t.tm_mon + 1;
  pTm->nDay = t.tm_mday;
  pTm->nHour = t.tm_hour;
  pTm->nMinute = t.tm_min;
  pTm->nSecond = t.tm_sec;
  pTm->nWeekDay = t.tm_wday;
  pTm->nYearDay = t.tm_yday;
  pTm->bDst = t.tm_isdst > 0;
  pTm->nGmtOff = t.tm_gmtoff;
}

struct ThreadStart {
  void (*pfn)(void *);
  void *pArg;
};

// Threads whose work is done wait a while for the next start instead of
// ending: creating a thread and, above all, ending one (the C library hands
// the stack pages back, which interrupts every processor running this
// process) cost more than serving a short connection.  A start goes to a
// waiting thread when there is one, else to a new thread.
constexpr int kIdleWaitSeconds = 5;
constexpr int kIdleMax = 64;

struct IdleThreads {
  bool bReuse = false;  // PlatReuseThreads
  std::mutex lock;
  std::condition_variable wake;
  std::deque<ThreadStart> starts;  // handed to waiting threads, not yet taken
  int nWaiting = 0;                // waiting threads not yet promised a start
};

// Never destroyed: threads may still wait on it while the process exits.
alignas(IdleThreads) unsigned char g_IdleStore[sizeof(IdleThreads)];
IdleThreads &g_Idle = *new (g_IdleStore) IdleThreads;

void *ThreadTrampoline(void *p) {
  ThreadStart start = *static_cast<ThreadStart *>(p);
  delete static_cast<ThreadStart *>(p);
  for (;;) {
    start.pfn(start.pArg);
    std::unique_lock<std::mutex> guard(g_Idle.lock);
    if (!g_Idle.bReuse || g_Idle.nWaiting >= kIdleMax) break;
    ++g_Idle.nWaiting;
    if (!g_Idle.wake.wait_for(guard, std::chrono::seconds(kIdleWaitSeconds),
                              [] { return !g_Idle.starts.empty(); })) {
      --g_Idle.nWaiting;  // nobody promised this thread a start
      break;
    }
    // The starter has taken this thread off the waiting count.
    start = g_Idle.starts.front();
    g_Idle.starts.pop_front();
  }
  return nullptr;
}

}  // namespace

int64_t PlatNow(int *pMillis) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (pMillis) *pMillis = static_cast<int>(ts.tv_nsec / 1000000);
  return ts.tv_sec;
}

int64_t PlatSteadyMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t PlatSteadyUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void PlatLocalTime(int64_t nTime, PlatTm *pTm) {
  time_t t = static_cast<time_t>(nTime);
  struct tm tmv;
  localtime_r(&t, &tmv);
  FromTm(tmv, pTm);
}

void PlatUtcTime(int64_t nTime, PlatTm *pTm) {
  time_t t = static_cast<time_t>(nTime);
  struct tm tmv;
  gmtime_r(&t, &tmv);
  FromTm(tmv, pTm);
}

int64_t PlatMakeUtc(const PlatTm *pTm) {
  struct tm tmv = {};
  tmv.tm_year = pTm->nYear - 1900;
  tmv.tm_mon = pTm->nMonth - 1;
  tmv.tm_mday = pTm->nDay;
  tmv.tm_hour = pTm->nHour;
  tmv.tm_min = pTm->nMinute;
  tmv.tm_sec = pTm->nSecond;
  return static_cast<int64_t>(timegm(&tmv));
}

uint64_t PlatToLocalFileTime(int64_t nTime) {
  PlatTm tmv;
  PlatLocalTime(nTime, &tmv);
  return static_cast<uint64_t>(nTime + tmv.nGmtOff) * 10000000ULL + 116444736000000000ULL;
}

uint64_t PlatLocalFileTime() { return PlatToLocalFileTime(PlatNow(nullptr)); }

void PlatSleepMs(int nMs) {
  if (nMs <= 0) {
    sched_yield();
    return;
  }
  struct timespec ts = {nMs / 1000, static_cast<long>(nMs % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

void PlatReuseThreads(int bOn) {
  std::lock_guard<std::mutex> guard(g_Idle.lock);
  g_Idle.bReuse = bOn != 0;
}

int PlatStartThread(void (*pfn)(void *), void *pArg) {
  bool bHanded = false;
  {
    std::lock_guard<std::mutex> guard(g_Idle.lock);
    if (g_Idle.nWaiting > 0) {
      --g_Idle.nWaiting;
      g_Idle.starts.push_back(ThreadStart{pfn, pArg});
      bHanded = true;
    }
  }
  // Woken after the lock is released, so the waiting thread does not wake
  // only to block on it again.  The start is queued: the thread that wakes
  // finds it whichever thread that is.
  if (bHanded) {
    g_Idle.wake.notify_one();
    return 0;
  }
  ThreadStart *pStart = new (std::nothrow) ThreadStart{pfn, pArg};
  if (!pStart) return ENOMEM;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kThreadStack);
  pthread_t tid;
  int nErr = pthread_create(&tid, &attr, ThreadTrampoline, pStart);
  pthread_attr_destroy(&attr);
  if (nErr != 0) delete pStart;
  return nErr;
}
