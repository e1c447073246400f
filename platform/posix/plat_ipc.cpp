#include "platform/plat_ipc.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/plat_time.h"

namespace {

// Fills a Unix-domain address.  Returns 0 when the path does not fit: it is
// refused rather than cut, since a cut path names a different socket.
int MakeAddress(const char *szPath, sockaddr_un *pAddr) {
  std::memset(pAddr, 0, sizeof *pAddr);
  pAddr->sun_family = AF_UNIX;
  std::size_t nLen = std::strlen(szPath);
  if (nLen == 0 || nLen >= sizeof pAddr->sun_path) return 0;
  std::memcpy(pAddr->sun_path, szPath, nLen + 1);
  return 1;
}

void SetError(int *pnError, int nError) {
  if (pnError) *pnError = nError;
}

// Milliseconds left until nDeadline (steady clock), never negative.
int MsLeft(int64_t nDeadline) {
  int64_t nLeft = nDeadline - PlatSteadyMs();
  return nLeft > 0 ? static_cast<int>(nLeft) : 0;
}

// Waits until the socket is ready for nEvents or the deadline passes.
// 1 ready, 0 time is up, -1 poll failed (errno set).
int WaitReady(int nSock, short nEvents, int64_t nDeadline) {
  for (;;) {
    pollfd pfd{nSock, nEvents, 0};
    int nLeft = MsLeft(nDeadline);
    int n = poll(&pfd, 1, nLeft);
    if (n > 0) return 1;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// Nonblocking connect.  Unix-domain stream connects complete at once or fail
// at once; EAGAIN means the listener's queue is full.
int ConnectNow(const sockaddr_un &addr, int *pnSock, int *pnError) {
  // A missing socket file is the common case of a service not installed:
  // one stat answers it without making and closing a socket.
  if (!PlatPipePresent(addr.sun_path)) {
    SetError(pnError, ENOENT);
    return 0;
  }
  int nSock = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (nSock < 0) {
    SetError(pnError, errno);
    return -1;
  }
  int rc;
  do {
    rc = connect(nSock, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int nErr = errno;
    close(nSock);
    SetError(pnError, nErr);
    if (nErr == ENOENT || nErr == ENOTDIR || nErr == ECONNREFUSED) return 0;
    return -1;
  }
  *pnSock = nSock;
  return 1;
}

int SendUntil(int nSock, const char *pBuf, int nLen, int64_t nDeadline, int *pnError) {
  int nDone = 0;
  while (nDone < nLen) {
    ssize_t n = send(nSock, pBuf + nDone, static_cast<size_t>(nLen - nDone), MSG_NOSIGNAL);
    if (n > 0) {
      nDone += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int w = WaitReady(nSock, POLLOUT, nDeadline);
      if (w > 0) continue;
      SetError(pnError, w == 0 ? ETIMEDOUT : errno);
      return -1;
    }
    SetError(pnError, n < 0 ? errno : EPIPE);
    return -1;
  }
  return 1;
}

// Writes the request and reads the reply on a connected nonblocking socket,
// then closes it.  Results as PlatCallPipe.
int ExchangeOn(int nSock, const char *pRequest, int nRequestLen, char *pReply, int nReplySize, int64_t nDeadline,
               int *pnReplyLen, int *pnError) {
  if (SendUntil(nSock, pRequest, nRequestLen, nDeadline, pnError) < 0) {
    close(nSock);
    return -1;
  }
  // The reply ends when the service closes; a full buffer ends it too.
  int nGot = 0;
  while (nGot < nReplySize) {
    ssize_t n = recv(nSock, pReply + nGot, static_cast<size_t>(nReplySize - nGot), 0);
    if (n > 0) {
      nGot += static_cast<int>(n);
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      int w = WaitReady(nSock, POLLIN, nDeadline);
      if (w > 0) continue;
      SetError(pnError, w == 0 ? ETIMEDOUT : errno);
      close(nSock);
      return -1;
    }
    SetError(pnError, errno);
    close(nSock);
    return -1;
  }
  close(nSock);
  *pnReplyLen = nGot;
  return 1;
}

}  // namespace

std::size_t PlatIpcMaxPath() { return sizeof(sockaddr_un::sun_path) - 1; }

int PlatPipePresent(const char *szPath) {
  struct stat st;
  // Only a path that surely holds no socket says no; a stat that fails for
  // another reason leaves the answer to the connect.
  if (stat(szPath, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : 1;
  return S_ISSOCK(st.st_mode) ? 1 : 0;
}

int PlatCallPipe(const char *szPath, const char *pRequest, int nRequestLen, char *pReply, int nReplySize,
                 int nTimeoutMs, int *pnReplyLen, int *pnError) {
  *pnReplyLen = 0;
  SetError(pnError, 0);
  sockaddr_un addr;
  if (!MakeAddress(szPath, &addr)) {
    SetError(pnError, ENAMETOOLONG);
    return -1;
  }
  int nSock = -1;
  int rc = ConnectNow(addr, &nSock, pnError);
  if (rc <= 0) return rc;
  int64_t nDeadline = PlatSteadyMs() + (nTimeoutMs > 0 ? nTimeoutMs : 0);
  return ExchangeOn(nSock, pRequest, nRequestLen, pReply, nReplySize, nDeadline, pnReplyLen, pnError);
}

int PlatCallTcp(const char *szHost, int nPort, const char *pRequest, int nRequestLen, char *pReply, int nReplySize,
                int nTimeoutMs, int *pnReplyLen, int *pnError) {
  *pnReplyLen = 0;
  SetError(pnError, 0);
  int64_t nDeadline = PlatSteadyMs() + (nTimeoutMs > 0 ? nTimeoutMs : 0);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  char szPort[16];
  snprintf(szPort, sizeof szPort, "%d", nPort);
  addrinfo *pList = nullptr;
  if (getaddrinfo(szHost, szPort, &hints, &pList) != 0 || !pList) {
    SetError(pnError, EINVAL);
    return -1;
  }
  int nSock = socket(pList->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (nSock < 0) {
    SetError(pnError, errno);
    freeaddrinfo(pList);
    return -1;
  }
  int rc = connect(nSock, pList->ai_addr, pList->ai_addrlen);
  freeaddrinfo(pList);
  if (rc != 0 && errno == EINPROGRESS) {
    int w = WaitReady(nSock, POLLOUT, nDeadline);
    int nErr = 0;
    socklen_t nLen = sizeof nErr;
    if (w <= 0) {
      nErr = w == 0 ? ETIMEDOUT : errno;
    } else if (getsockopt(nSock, SOL_SOCKET, SO_ERROR, &nErr, &nLen) != 0) {
      nErr = errno;
    }
    rc = nErr == 0 ? 0 : -1;
    errno = nErr;
  }
  if (rc != 0) {
    int nErr = errno;
    close(nSock);
    SetError(pnError, nErr);
    return nErr == ECONNREFUSED ? 0 : -1;
  }
  return ExchangeOn(nSock, pRequest, nRequestLen, pReply, nReplySize, nDeadline, pnReplyLen, pnError);
}
