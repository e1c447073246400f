#include "platform/plat_time.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>

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

void *ThreadTrampoline(void *p) {
  ThreadStart start = *static_cast<ThreadStart *>(p);
  delete static_cast<ThreadStart *>(p);
  start.pfn(start.pArg);
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

int PlatStartThread(void (*pfn)(void *), void *pArg) {
  ThreadStart *pStart = new ThreadStart{pfn, pArg};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, 1024 * 1024);
  pthread_t tid;
  int nErr = pthread_create(&tid, &attr, ThreadTrampoline, pStart);
  pthread_attr_destroy(&attr);
  if (nErr != 0) delete pStart;
  return nErr;
}
