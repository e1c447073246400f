#include "platform/plat_splice.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/plat_socket.h"

int PlatSpliceOpen(PlatSplicePipe *pPipe) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  pPipe->nRead = fds[0];
  pPipe->nWrite = fds[1];
  return 1;
}

void PlatSpliceClose(PlatSplicePipe *pPipe) {
  if (pPipe->nRead >= 0) close(pPipe->nRead);
  if (pPipe->nWrite >= 0) close(pPipe->nWrite);
  pPipe->nRead = pPipe->nWrite = -1;
}

int PlatSpliceMove(int nFrom, int nTo, PlatSplicePipe *pPipe, std::size_t nMax, int nTimeoutMs, int *pbSendFailed) {
  *pbSendFailed = 0;
  ssize_t nIn;
  for (;;) {
    // The socket is read without blocking; the wait is the poll below, so
    // the time-out is the caller's and not the socket's.
    nIn = splice(nFrom, nullptr, pPipe->nWrite, nullptr, nMax, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (nIn >= 0) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return -1;
    int w = PlatWaitReadable(nFrom, nTimeoutMs > 0 ? nTimeoutMs : kPlatDefaultWaitMs);
    if (w == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (w < 0) return -1;
  }
  if (nIn == 0) return 0;
  ssize_t nLeft = nIn;
  while (nLeft > 0) {
    ssize_t nOut = splice(pPipe->nRead, nullptr, nTo, nullptr, static_cast<std::size_t>(nLeft), SPLICE_F_MOVE);
    if (nOut < 0 && errno == EINTR) continue;
    if (nOut <= 0) {
      *pbSendFailed = 1;
      return -1;
    }
    nLeft -= nOut;
  }
  return static_cast<int>(nIn);
}
