#include "platform/plat_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/plat_time.h"

namespace {

constexpr int kRetryPauseMs = 50;
// Files and folders the program creates are its own: spool files hold mail
// and pages, the logs credentials and addresses.
constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kPrivateDirMode = 0700;
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
  int fdOut = open(szTo, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
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
  if (mkdir(szPath, kPrivateDirMode) == 0 || errno == EEXIST) return 1;
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

FILE *PlatMemoryFile(const char *pText, size_t nText) {
  if (nText == 0) return nullptr;
  // Opened for reading only: the stream never writes through the pointer.
  return fmemopen(const_cast<char *>(pText), nText, "rb");
}

FILE *PlatFileOpen(const char *szPath, const char *szMode) {
  int bPlus = strchr(szMode, '+') != nullptr;
  int nFlags = O_CLOEXEC | O_NOFOLLOW;
  switch (szMode[0]) {
    case 'r': nFlags |= bPlus ? O_RDWR : O_RDONLY; break;
    case 'w': nFlags |= (bPlus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': nFlags |= (bPlus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: errno = EINVAL; return nullptr;
  }
  if (strchr(szMode, 'x') != nullptr) {
    // A new name: nothing that stands there is reused or followed.
    if (unlink(szPath) != 0 && errno != ENOENT) return nullptr;
    nFlags = (nFlags & ~O_TRUNC) | O_EXCL;
  }
  int fd = open(szPath, nFlags, kPrivateFileMode);
  if (fd < 0) return nullptr;
  // fdopen does not know "x"; the descriptor carries the flags already.
  char szFdMode[4] = {szMode[0], bPlus ? '+' : '\0', '\0', '\0'};
  FILE *fp = fdopen(fd, szFdMode);
  if (fp == nullptr) close(fd);
  return fp;
}

int PlatSpoolAppend(FILE *pFile, const void *pData, size_t nLen) {
  if (pFile == nullptr || ferror(pFile)) return -1;
  if (nLen == 0) return 1;
  if (fwrite(pData, 1, nLen, pFile) != nLen || ferror(pFile)) return -1;
  return 1;
}

int PlatSpoolClose(FILE *pFile) {
  if (pFile == nullptr) return -1;
  int nResult = ferror(pFile) ? -1 : 1;
  if (fclose(pFile) != 0) nResult = -1;
  return nResult;
}

namespace {

FILE *OpenRetry(const char *szPath, const char *szMode, unsigned nAttempts, int bNoFollow) {
  if (nAttempts == 0) nAttempts = 1;
  for (unsigned i = 0; i < nAttempts; ++i) {
    FILE *fp = bNoFollow ? PlatFileOpen(szPath, szMode) : fopen(szPath, szMode);
    if (fp) return fp;
    // A file that is not there and is opened for reading will not appear by
    // waiting unless a writer is about to hand it over; keep the designed
    // retry but never for errors that cannot change.
    if (errno == EACCES || errno == EISDIR || errno == ENAMETOOLONG || errno == ENOTDIR || errno == ELOOP)
      return nullptr;
    if (i + 1 < nAttempts) PlatSleepMs(kRetryPauseMs);
  }
  return nullptr;
}

}  // namespace

FILE *PlatOpenRetry(const char *szPath, const char *szMode, unsigned nAttempts) {
  return OpenRetry(szPath, szMode, nAttempts, 0);
}

FILE *PlatSpoolOpenRetry(const char *szPath, const char *szMode, unsigned nAttempts) {
  return OpenRetry(szPath, szMode, nAttempts, 1);
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
  int fdIn = open(szFrom, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
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
  int fd = open(szTemp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) return -1;
  int nResult = WriteAll(fd, pData, nLen);
  if (close(fd) != 0) nResult = -1;
  if (nResult == 1 && rename(szTemp, szPath) != 0) nResult = -1;
  if (nResult != 1) unlink(szTemp);
  return nResult;
}

int PlatAppendFile(const char *szPath, const void *pData, size_t nLen) {
  int fd = open(szPath, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) return -1;
  int nResult = WriteAll(fd, pData, nLen);
  if (close(fd) != 0) nResult = -1;
  return nResult;
}

int PlatOpenAppendFd(const char *szPath) {
  return open(szPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kPrivateFileMode);
}

int PlatCreateWriteFd(const char *szPath) {
  return open(szPath, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode);
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
    return kPlatFileTooLarge;
  }
  // Reads of the scan block normally again.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  *pnFd = fd;
  return 1;
}

void PlatCloseFd(int nFd) {
  if (nFd >= 0) close(nFd);
}

int PlatCopyStreamRest(FILE *pIn, FILE *pOut) {
  if (fflush(pOut) != 0) return -1;
  off_t nOff = ftello(pIn);
  if (nOff < 0) return -1;
  int fdIn = fileno(pIn);
  int fdOut = fileno(pOut);
  if (lseek(fdOut, 0, SEEK_END) < 0) return -1;
  int nResult = 1;
  int bAny = 0;
  for (;;) {
    ssize_t n = copy_file_range(fdIn, &nOff, fdOut, nullptr, 1 << 30, 0);
    if (n > 0) {
      bAny = 1;
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (bAny) {
      nResult = -1;
      break;
    }
    // Not supported between these files: read and write.
    char buf[65536];
    for (;;) {
      ssize_t r = pread(fdIn, buf, sizeof buf, nOff);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) nResult = -1;
      if (r <= 0) break;
      nOff += r;
      if (WriteAll(fdOut, buf, static_cast<size_t>(r)) < 0) {
        nResult = -1;
        break;
      }
    }
    break;
  }
  fseeko(pIn, 0, SEEK_END);
  fseeko(pOut, 0, SEEK_END);
  return nResult;
}

// ---- Spool files ------------------------------------------------------------

namespace {

// Parked spool files: numbers 0..kSpareMax-1 name the files of the parking
// folder.  A number is either parked (a file with that name exists, empty)
// or unused.
constexpr unsigned kSpareMax = 1024;

struct SparePool {
  std::mutex lock;
  bool bOn = false;
  char szPrefix[4096] = "";  // "<folder>/spare-<process id>-"
  unsigned aParked[kSpareMax];
  unsigned nParked = 0;
  unsigned aUnused[kSpareMax];
  unsigned nUnused = 0;
};

SparePool g_Spare;

void SparePath(unsigned nNo, char *pOut, size_t nOut) { snprintf(pOut, nOut, "%s%u", g_Spare.szPrefix, nNo); }

// Takes a number off one of the two stacks.  0 when it is empty (or reuse
// is off).
int PopSpare(unsigned *pStack, unsigned *pnCount, unsigned *pNo) {
  std::lock_guard<std::mutex> guard(g_Spare.lock);
  if (!g_Spare.bOn || *pnCount == 0) return 0;
  *pNo = pStack[--*pnCount];
  return 1;
}

void PushSpare(unsigned *pStack, unsigned *pnCount, unsigned nNo) {
  std::lock_guard<std::mutex> guard(g_Spare.lock);
  if (*pnCount < kSpareMax) pStack[(*pnCount)++] = nNo;
}

// Removes the files of a folder and the folder.
void RemoveFolder(const char *szDir) {
  DIR *pDir = opendir(szDir);
  if (pDir != nullptr) {
    char szPath[2 * kTempPathSize];
    while (struct dirent *pEnt = readdir(pDir)) {
      if (strcmp(pEnt->d_name, ".") == 0 || strcmp(pEnt->d_name, "..") == 0) continue;
      if (snprintf(szPath, sizeof szPath, "%s/%s", szDir, pEnt->d_name) < static_cast<int>(sizeof szPath))
        unlink(szPath);
    }
    closedir(pDir);
  }
  rmdir(szDir);
}

// Opens a file just moved into place for writing.  It was emptied when it
// was parked; should anything have written to it since, it is emptied
// again.  -1 on failure.
int OpenUnparked(const char *szPath, int nFlags) {
  int fd = open(szPath, O_WRONLY | O_NOFOLLOW | O_CLOEXEC | nFlags);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || (st.st_size != 0 && ftruncate(fd, 0) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Moves a parked file into place at szPath.  1 done, 0 nothing parked.
int UnparkInto(const char *szPath) {
  unsigned nNo;
  if (!PopSpare(g_Spare.aParked, &g_Spare.nParked, &nNo)) return 0;
  // A small buffer: this runs on every connection thread before it waits
  // for its client, and stack pages touched here stay with the idle thread.
  // A name that does not fit is left parked (the file is made anew).
  char szSpare[512];
  int nDone = 0;
  if (snprintf(szSpare, sizeof szSpare, "%s%u", g_Spare.szPrefix, nNo) < static_cast<int>(sizeof szSpare))
    nDone = rename(szSpare, szPath) == 0;
  PushSpare(g_Spare.aUnused, &g_Spare.nUnused, nNo);
  return nDone;
}

}  // namespace

int PlatSpoolInit(const char *szFolder, const char *szKeptPrefix) {
  if (szFolder == nullptr) {
    std::lock_guard<std::mutex> guard(g_Spare.lock);
    g_Spare.bOn = false;
    return -1;
  }
  DIR *pDir = opendir(szFolder);
  if (pDir == nullptr) return -1;
  char szPath[kTempPathSize + 256];
  const size_t nKeptPrefix = szKeptPrefix != nullptr ? strlen(szKeptPrefix) : 0;
  while (struct dirent *pEnt = readdir(pDir)) {
    if (nKeptPrefix > 0 && strncmp(pEnt->d_name, szKeptPrefix, nKeptPrefix) == 0) {
      // An empty file kept for the next use of a socket by an earlier run.
      struct stat st;
      if (snprintf(szPath, sizeof szPath, "%s/%s", szFolder, pEnt->d_name) < static_cast<int>(sizeof szPath) &&
          lstat(szPath, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
        unlink(szPath);
      continue;
    }
    int nPid = 0;
    unsigned nNo = 0;
    char cEnd = 0;
    int bFile = sscanf(pEnt->d_name, "spare-%d-%u%c", &nPid, &nNo, &cEnd) == 2;
    int bFolder = !bFile && sscanf(pEnt->d_name, "spare-%d%c", &nPid, &cEnd) == 1;
    if ((!bFile && !bFolder) || nPid <= 0) continue;
    if (nPid != getpid() && !(kill(nPid, 0) != 0 && errno == ESRCH)) continue;  // its process still runs
    if (snprintf(szPath, sizeof szPath, "%s/%s", szFolder, pEnt->d_name) >= static_cast<int>(sizeof szPath)) continue;
    if (bFile)
      unlink(szPath);
    else
      RemoveFolder(szPath);  // parking folder of an earlier layout
  }
  closedir(pDir);
  std::lock_guard<std::mutex> guard(g_Spare.lock);
  // Parked files stay in the folder itself: a rename inside one folder is
  // cheaper than one between folders (which takes a file-system-wide lock).
  int n = snprintf(g_Spare.szPrefix, sizeof g_Spare.szPrefix, "%s/spare-%d-", szFolder, static_cast<int>(getpid()));
  if (n < 0 || static_cast<size_t>(n) + 12 >= sizeof g_Spare.szPrefix) return -1;
  g_Spare.nParked = 0;
  g_Spare.nUnused = kSpareMax;
  for (unsigned i = 0; i < kSpareMax; ++i) g_Spare.aUnused[i] = kSpareMax - 1 - i;
  g_Spare.bOn = true;
  return 1;
}

namespace {

// Spool files kept under their names, one per slot.  A slot's entry is
// made the first time the slot keeps a file and lives as long as the
// process; there are at most kKeptSlots, and a longer name than an entry
// holds is not kept.
constexpr int kKeptSlots = 32768;
constexpr size_t kKeptPathSize = 640;

struct KeptFile {
  bool bKept;
  char szPath[kKeptPathSize];
};

std::mutex g_KeptLock;
KeptFile *g_aKept[kKeptSlots];

// Takes the slot's kept file: its name into pOut.  0 when it keeps none.
int TakeKept(int nSlot, char *pOut, size_t nOut) {
  if (nSlot < 0 || nSlot >= kKeptSlots) return 0;
  std::lock_guard<std::mutex> guard(g_KeptLock);
  KeptFile *pKept = g_aKept[nSlot];
  if (pKept == nullptr || !pKept->bKept) return 0;
  pKept->bKept = false;
  snprintf(pOut, nOut, "%s", pKept->szPath);
  return 1;
}

// Opens the slot's kept file under szPath for writing (renaming it there
// when it is kept under another name).  Only a plain file that is still as
// it was kept - empty, under one name - is taken.  -1 when there is none.
int OpenKept(const char *szPath, int nSlot, int nFlags) {
  char szKept[kKeptPathSize];
  if (!TakeKept(nSlot, szKept, sizeof szKept)) return -1;
  struct stat st;
  if (lstat(szKept, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0 || st.st_nlink != 1) return -1;
  if (strcmp(szKept, szPath) != 0 && rename(szKept, szPath) != 0) return -1;
  return OpenUnparked(szPath, nFlags);
}

// Opens the slot's kept file, or else a parked one, moved into place at
// szPath for writing.  -1 when there is neither.  Either is empty already
// and is opened without truncation: on ext4 emptying a file by truncation
// marks it for an immediate write-back at its next close (the
// replace-by-truncate safeguard), which costs disk I/O per request.
// Keeping and parking truncate while the file is still empty of new data.
int OpenReused(const char *szPath, int nSlot, int nFlags) {
  int fd = OpenKept(szPath, nSlot, nFlags);
  if (fd < 0 && UnparkInto(szPath)) fd = OpenUnparked(szPath, nFlags);
  return fd;
}

}  // namespace

FILE *PlatSpoolCreateSlot(const char *szPath, const char *szMode, int nSlot) {
  int fd = OpenReused(szPath, nSlot, 0);
  if (fd >= 0) {
    FILE *pFile = fdopen(fd, szMode);
    if (pFile != nullptr) return pFile;
    close(fd);
  }
  return PlatFileOpen(szPath, szMode);
}

FILE *PlatSpoolCreate(const char *szPath, const char *szMode) { return PlatSpoolCreateSlot(szPath, szMode, -1); }

int PlatSpoolCreateFdSlot(const char *szPath, int nSlot) {
  int fd = OpenReused(szPath, nSlot, O_APPEND);
  return fd >= 0 ? fd : PlatCreateWriteFd(szPath);
}

int PlatSpoolCreateFd(const char *szPath) { return PlatSpoolCreateFdSlot(szPath, -1); }

int PlatSpoolKeep(const char *szPath, int nSlot) {
  char szOld[kKeptPathSize];
  // A file the slot still keeps under another name goes the usual way.
  if (TakeKept(nSlot, szOld, sizeof szOld) && strcmp(szOld, szPath) != 0) PlatSpoolDelete(szOld, 1);
  size_t nLen = strlen(szPath);
  auto fnDelete = [szPath]() { return PlatSpoolDelete(szPath, 1) < 0 ? -1 : 0; };
  if (nSlot < 0 || nSlot >= kKeptSlots || nLen >= kKeptPathSize) return fnDelete();
  {
    std::lock_guard<std::mutex> guard(g_KeptLock);
    if (g_aKept[nSlot] == nullptr) g_aKept[nSlot] = new (std::nothrow) KeptFile{false, ""};
    if (g_aKept[nSlot] == nullptr) return fnDelete();
  }
  // Emptied and closed at once: ext4 writes a file out at the first close
  // after it was truncated to nothing, which must not be the close after
  // the next use wrote into it.
  int fd = open(szPath, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fnDelete();
  close(fd);
  std::lock_guard<std::mutex> guard(g_KeptLock);
  memcpy(g_aKept[nSlot]->szPath, szPath, nLen + 1);
  g_aKept[nSlot]->bKept = true;
  return 1;
}

void PlatSpoolDropKept() {
  char szPath[kKeptPathSize];
  for (int i = 0; i < kKeptSlots; ++i) {
    if (TakeKept(i, szPath, sizeof szPath)) PlatSpoolDelete(szPath, 1);
  }
}

int PlatSpoolDelete(const char *szPath, unsigned nAttempts) {
  // A name that is not there is seen without the folder's lock, which
  // renames and deletions take even when they find nothing.
  struct stat st;
  if (lstat(szPath, &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) return 0;
  unsigned nNo;
  if (PopSpare(g_Spare.aUnused, &g_Spare.nUnused, &nNo)) {
    char szSpare[kTempPathSize];
    SparePath(nNo, szSpare, sizeof szSpare);
    if (rename(szPath, szSpare) == 0) {
      // Parked empty: the blocks go back now, the inode waits for reuse.
      // (A symbolic link is never followed: it is removed instead.)
      int fd = open(szSpare, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {
        close(fd);
        PushSpare(g_Spare.aParked, &g_Spare.nParked, nNo);
      } else {
        remove(szSpare);
        PushSpare(g_Spare.aUnused, &g_Spare.nUnused, nNo);
      }
      return 1;
    }
    PushSpare(g_Spare.aUnused, &g_Spare.nUnused, nNo);
  }
  return PlatDeleteRetry(szPath, nAttempts);
}
