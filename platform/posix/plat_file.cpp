#include "platform/plat_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/plat_time.h"

namespace {

constexpr int kRetryPauseMs = 50;
constexpr size_t kTempPathSize = 4096 + 64;

// A temporary name beside szPath, unique within the process and the host.
void TempNameFor(const char *szPath, char *pOut, size_t nOut) {
  static std::atomic<unsigned> s_nSeq{0};
  snprintf(pOut, nOut, "%s.%d.%u.tmp", szPath, static_cast<int>(getpid()), s_nSeq.fetch_add(1));
}

int WriteAll(int fd, const void *pData, size_t nLen) {
  const char *p = static_cast<const char *>(pData);
  while (nLen > 0) {
    ssize_t n = write(fd, p, nLen);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += n;
    nLen -= static_cast<size_t>(n);
  }
  return 1;
}

// Copies the content of an open descriptor into a new file (exclusive create).
int CopyInto(int fdIn, const char *szTo, int bSync) {
  int fdOut = open(szTo, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fdOut < 0) return -1;
  int nResult = 1;
  for (;;) {
    ssize_t n = copy_file_range(fdIn, nullptr, fdOut, nullptr, 1 << 30, 0);
    if (n > 0) continue;
    if (n == 0) break;
    if (errno == EINTR) continue;
    // Not supported between these files: fall back to read and write.
    char buf[65536];
    for (;;) {
      ssize_t r = read(fdIn, buf, sizeof buf);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) nResult = -1;
      if (r <= 0) break;
      if (WriteAll(fdOut, buf, static_cast<size_t>(r)) < 0) {
        nResult = -1;
        break;
      }
    }
    break;
  }
  if (nResult == 1 && bSync && fsync(fdOut) != 0) nResult = -1;
  if (close(fdOut) != 0) nResult = -1;
  if (nResult != 1) unlink(szTo);
  return nResult;
}

}  // namespace

const char *PlatGetEnv(const char *szName) { return getenv(szName); }

int PlatMakeDir(const char *szPath) {
  if (mkdir(szPath, 0755) == 0 || errno == EEXIST) return 1;
  return -1;
}

int PlatFileExists(const char *szPath) {
  struct stat st;
  return stat(szPath, &st) == 0 ? 1 : 0;
}

int PlatFileInfo(const char *szPath, uint64_t *pSize, int64_t *pMTime) {
  struct stat st;
  if (stat(szPath, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
  if (pSize) *pSize = static_cast<uint64_t>(st.st_size);
  if (pMTime) *pMTime = static_cast<int64_t>(st.st_mtime);
  return 1;
}

FILE *PlatOpenRetry(const char *szPath, const char *szMode, unsigned nAttempts) {
  if (nAttempts == 0) nAttempts = 1;
  for (unsigned i = 0; i < nAttempts; ++i) {
    FILE *fp = fopen(szPath, szMode);
    if (fp) return fp;
    // A file that is not there and is opened for reading will not appear by
    // waiting unless a writer is about to hand it over; keep the designed
    // retry but never for errors that cannot change.
    if (errno == EACCES || errno == EISDIR || errno == ENAMETOOLONG || errno == ENOTDIR) return nullptr;
    if (i + 1 < nAttempts) PlatSleepMs(kRetryPauseMs);
  }
  return nullptr;
}

int PlatDeleteRetry(const char *szPath, unsigned nAttempts) {
  if (nAttempts == 0) nAttempts = 1;
  for (unsigned i = 0; i < nAttempts; ++i) {
    if (unlink(szPath) == 0) return 1;
    if (errno == ENOENT || errno == ENOTDIR) return i == 0 ? 0 : 1;
    if (i + 1 < nAttempts) PlatSleepMs(kRetryPauseMs);
  }
  return -1;
}

int PlatCopyFile(const char *szFrom, const char *szTo, int bReplace) {
  if (!bReplace && PlatFileExists(szTo)) return -1;
  int fdIn = open(szFrom, O_RDONLY | O_CLOEXEC);
  if (fdIn < 0) return -1;
  char szTemp[kTempPathSize];
  TempNameFor(szTo, szTemp, sizeof szTemp);
  int nResult = CopyInto(fdIn, szTemp, 0);
  close(fdIn);
  if (nResult != 1) return -1;
  int nMoved = bReplace ? rename(szTemp, szTo) : renameat2(AT_FDCWD, szTemp, AT_FDCWD, szTo, RENAME_NOREPLACE);
  if (nMoved != 0) {
    unlink(szTemp);
    return -1;
  }
  return 1;
}

int PlatMoveFile(const char *szFrom, const char *szTo, int bReplace, int bWriteThrough) {
  if (bWriteThrough) {
    int fd = open(szFrom, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      fsync(fd);
      close(fd);
    }
  }
  int nMoved = bReplace ? rename(szFrom, szTo) : renameat2(AT_FDCWD, szFrom, AT_FDCWD, szTo, RENAME_NOREPLACE);
  if (nMoved == 0) return 1;
  if (errno != EXDEV) return -1;
  // Another file system: copy into place, then drop the source.
  if (PlatCopyFile(szFrom, szTo, bReplace) != 1) return -1;
  unlink(szFrom);
  return 1;
}

int PlatHandOffFile(const char *szTempPath, const char *szFinalPath) {
  return PlatMoveFile(szTempPath, szFinalPath, 1, 0);
}

int PlatWriteWholeFile(const char *szPath, const void *pData, size_t nLen) {
  char szTemp[kTempPathSize];
  TempNameFor(szPath, szTemp, sizeof szTemp);
  int fd = open(szTemp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  int nResult = WriteAll(fd, pData, nLen);
  if (close(fd) != 0) nResult = -1;
  if (nResult == 1 && rename(szTemp, szPath) != 0) nResult = -1;
  if (nResult != 1) unlink(szTemp);
  return nResult;
}

int PlatAppendFile(const char *szPath, const void *pData, size_t nLen) {
  int fd = open(szPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  int nResult = WriteAll(fd, pData, nLen);
  if (close(fd) != 0) nResult = -1;
  return nResult;
}

int PlatCreateWriteFd(const char *szPath) {
  return open(szPath, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
}

int PlatWriteFd(int nFd, const void *pData, size_t nLen) {
  if (nFd < 0) return -1;
  return WriteAll(nFd, pData, nLen);
}

int PlatOpenRegularFile(const char *szPath, uint64_t nMax, int *pnFd, uint64_t *pnSize) {
  int fd = open(szPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  *pnSize = static_cast<uint64_t>(st.st_size);
  if (*pnSize > nMax) {
    close(fd);
    return -2;
  }
  // Reads of the scan block normally again.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  *pnFd = fd;
  return 1;
}

void PlatCloseFd(int nFd) {
  if (nFd >= 0) close(nFd);
}
