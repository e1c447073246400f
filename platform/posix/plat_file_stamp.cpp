#include "platform/plat_file_stamp.h"

#include <sys/stat.h>
#include <cerrno>
#include <time.h>

int PlatGetFileStamp(const char *szPath, PlatFileStamp *pStamp) {
  struct stat st;
  if (szPath == nullptr) return 0;
  if (stat(szPath, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? -1 : 0;
  if (!S_ISREG(st.st_mode)) return 0;
  pStamp->nDev = static_cast<uint64_t>(st.st_dev);
  pStamp->nIno = static_cast<uint64_t>(st.st_ino);
  pStamp->nSize = static_cast<uint64_t>(st.st_size);
  pStamp->nMTimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  pStamp->nCTimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return 1;
}

int PlatSameFileStamp(const PlatFileStamp &a, const PlatFileStamp &b) {
  return a.nDev == b.nDev && a.nIno == b.nIno && a.nSize == b.nSize && a.nMTimeNs == b.nMTimeNs &&
         a.nCTimeNs == b.nCTimeNs;
}

int PlatFileStampSettled(const PlatFileStamp &stamp) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  int64_t nNowNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  const int64_t kSettleNs = 1000000000;
  return stamp.nMTimeNs <= nNowNs - kSettleNs && stamp.nCTimeNs <= nNowNs - kSettleNs;
}
