#include "net/client_recv.h"

#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "platform/plat_tls.h"

void ClientDeadlineStart(ClientDeadline *pD, int nPeriodMs) {
  pD->nPeriodMs = nPeriodMs > 0 ? nPeriodMs : kPlatDefaultWaitMs;
  pD->nEndMs = PlatSteadyMs() + pD->nPeriodMs;
}

void ClientDeadlineCredit(ClientDeadline *pD, std::size_t nBytes) {
  pD->nEndMs += static_cast<int64_t>(nBytes) * pD->nPeriodMs / static_cast<int64_t>(kBodyCreditBytes);
}

int ClientRecv(int nSock, void *pSSL, char *pBuf, int nSize, const ClientDeadline *pD) {
  int64_t nLeft = pD->nEndMs - PlatSteadyMs();
  if (nLeft <= 0) {
    PlatNoteTimeout();
    return -1;
  }
  int nWait = nLeft < pD->nPeriodMs ? static_cast<int>(nLeft) : pD->nPeriodMs;
  return SslRecv(nSock, pSSL, pBuf, nSize, nWait);
}
