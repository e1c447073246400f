#include "platform/plat_ipc_server.h"

#include "platform/plat_file.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/plat_time.h"

namespace {

volatile sig_atomic_t g_bStopSignal = 0;
sigset_t g_WaitMask;           // mask in force while waiting for clients
int g_bSignalsReady = 0;

void OnStopSignal(int) { g_bStopSignal = 1; }

int FillAddress(const char *szPath, struct sockaddr_un *pAddr) {
  memset(pAddr, 0, sizeof *pAddr);
  pAddr->sun_family = AF_UNIX;
  size_t nLen = strlen(szPath);
  // A cut path would bind or reach another file: refuse instead.
  if (nLen == 0 || nLen >= sizeof pAddr->sun_path) return -1;
  memcpy(pAddr->sun_path, szPath, nLen + 1);
  return 1;
}

// 1 when a process accepts connections on the socket file, else 0.
int SomeoneListens(const struct sockaddr_un &addr) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  int nRc = connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr);
  // A full listen queue (EAGAIN) still means a live server.
  int bLive = nRc == 0 || errno == EAGAIN;
  close(fd);
  return bLive;
}

int RemainingMs(int64_t nDeadline) {
  int64_t n = nDeadline - PlatSteadyMs();
  return n < 0 ? 0 : static_cast<int>(n);
}

// Waits until fd is ready for the events within the deadline.  1 ready,
// -1 time-out or error.
int WaitReady(int fd, short nEvents, int64_t nDeadline) {
  for (;;) {
    struct pollfd pfd = {fd, nEvents, 0};
    int nRc = poll(&pfd, 1, RemainingMs(nDeadline));
    if (nRc > 0) return 1;
    if (nRc == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (errno != EINTR) return -1;
  }
}

}  // namespace

int PlatIpcServerListen(const char *szPath, int nBacklog, int *pFd) {
  struct sockaddr_un addr;
  if (FillAddress(szPath, &addr) != 1) {
    errno = ENAMETOOLONG;
    return -1;
  }
  struct stat st;
  if (lstat(szPath, &st) == 0) {
    // Only a socket file is ours to replace; anything else stays untouched.
    if (!S_ISSOCK(st.st_mode)) {
      errno = EEXIST;
      return -1;
    }
    if (SomeoneListens(addr)) return 0;
    unlink(szPath);
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, nBacklog) != 0) {
    int nErr = errno;
    close(fd);
    errno = nErr;
    return -1;
  }
  *pFd = fd;
  return 1;
}

int PlatIpcServerAccept(int fdListen, int nTimeoutMs, int *pFd, int *pErr) {
  struct pollfd pfd = {fdListen, POLLIN, 0};
  struct timespec ts = {nTimeoutMs / 1000, static_cast<long>(nTimeoutMs % 1000) * 1000000L};
  // The stop signals are unblocked only inside this wait, so they cannot slip
  // in between a flag test and the wait.
  int nRc = ppoll(&pfd, 1, &ts, g_bSignalsReady ? &g_WaitMask : nullptr);
  if (nRc <= 0) {
    if (nRc < 0 && errno != EINTR) {
      if (pErr) *pErr = errno;
      return -1;
    }
    return 0;
  }
  int fd = accept4(fdListen, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    // The client gave up between poll and accept, or a transient shortage.
    if (errno == EAGAIN || errno == ECONNABORTED || errno == EINTR || errno == EPROTO) return 0;
    if (pErr) *pErr = errno;
    return -1;
  }
  *pFd = fd;
  return 1;
}

int PlatIpcRecvExact(int fd, char *pBuf, size_t nLen, int nTimeoutMs, size_t *pGot) {
  int64_t nDeadline = PlatSteadyMs() + nTimeoutMs;
  size_t nGot = 0;
  int nResult = 1;
  while (nGot < nLen) {
    if (WaitReady(fd, POLLIN, nDeadline) != 1) {
      nResult = -1;
      break;
    }
    ssize_t n = recv(fd, pBuf + nGot, nLen - nGot, 0);
    if (n == 0) {
      nResult = 0;
      break;
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      nResult = -1;
      break;
    }
    nGot += static_cast<size_t>(n);
  }
  if (pGot) *pGot = nGot;
  return nResult;
}

int PlatIpcSendAll(int fd, const char *pBuf, size_t nLen, int nTimeoutMs) {
  int64_t nDeadline = PlatSteadyMs() + nTimeoutMs;
  while (nLen > 0) {
    if (WaitReady(fd, POLLOUT, nDeadline) != 1) return -1;
    ssize_t n = send(fd, pBuf, nLen, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    pBuf += n;
    nLen -= static_cast<size_t>(n);
  }
  return 1;
}

void PlatIpcClose(int fd) {
  if (fd < 0) return;
  // Unread input makes the close a reset, which can destroy the reply still
  // on its way: read what a client sent beyond the request (bounded, never
  // waiting) first.
  char buf[4096];
  for (int i = 0; i < 16; ++i) {
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0 && !(n < 0 && errno == EINTR)) break;
  }
  shutdown(fd, SHUT_RDWR);
  close(fd);
}

void PlatStopSignalsInit() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigset_t stop;
  sigemptyset(&stop);
  static const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
  for (int nSig : kSignals) {
    sigaction(nSig, &sa, nullptr);
    sigaddset(&stop, nSig);
  }
  signal(SIGPIPE, SIG_IGN);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &stop, &old);
  g_WaitMask = old;
  for (int nSig : kSignals) sigdelset(&g_WaitMask, nSig);
  g_bSignalsReady = 1;
}

int PlatStopRequested() { return g_bStopSignal ? 1 : 0; }

int PlatReadRegularFile(const char *szPath, uint64_t nMax, std::vector<char> *pData, uint64_t *pSize) {
  pData->clear();
  int fd = -1;
  uint64_t nSize = 0;
  int nOpened = PlatOpenRegularFile(szPath, nMax, &fd, &nSize);
  if (pSize) *pSize = nSize;
  if (nOpened != 1) return nOpened;
  pData->resize(static_cast<size_t>(nSize));
  size_t nGot = 0;
  for (;;) {
    // A file that grows while being read is taken up to nMax and one byte
    // more, to tell that it went past the limit.
    if (nGot == pData->size()) {
      if (nGot > nMax) break;
      size_t nNext = nGot + 65536;
      if (nNext > nMax + 1) nNext = static_cast<size_t>(nMax + 1);
      pData->resize(nNext);
    }
    ssize_t n = read(fd, pData->data() + nGot, pData->size() - nGot);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      pData->clear();
      return -1;
    }
    if (n == 0) break;
    nGot += static_cast<size_t>(n);
  }
  close(fd);
  pData->resize(nGot);
  if (nGot > nMax) {
    if (pSize) *pSize = nGot;
    pData->clear();
    return kPlatFileTooLarge;
  }
  return 1;
}

int PlatRegularFileStamp(const char *szPath, uint64_t *pSize, int64_t *pMTimeNs) {
  struct stat st;
  if (stat(szPath, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
  if (!S_ISREG(st.st_mode)) return -1;
  if (pSize) *pSize = static_cast<uint64_t>(st.st_size);
  if (pMTimeNs) *pMTimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return 1;
}
