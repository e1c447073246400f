#include "http/response_collect.h"

#include <cstdint>
#include <new>

#include "base/limits.h"
#include "core/log.h"
#include "http/handlers.h"
#include "http/http_text.h"
#include "net/connection_record.h"
#include "net/http_io.h"
#include "net/outbound.h"
#include "platform/plat_file.h"

namespace {

// One try: receives into a fresh spool file until the response ends.
// bSendFailed: the request did not go out whole, so the first piece (an
// error answer, if any) is all that is waited for.
void CollectResponse(ConnectionRecord *pRec, int nSv, int bSendFailed, ServerExchange *pEx) {
  TrackerInit(&pEx->track, pEx->bHead);
  pEx->bGotData = 0;
  FILE *pSpool = PlatSpoolCreateSlot(pEx->szSpool, "wb", pEx->nSpoolSlot);
  pEx->bStoreFailed = pSpool == nullptr;
  // Pieces reach the file in 64 KiB writes; a hook that reads the file
  // back flushes first.
  char *pSpoolBuf = new (std::nothrow) char[kSpoolWriteBuffer];
  if (pSpool != nullptr && pSpoolBuf != nullptr) setvbuf(pSpool, pSpoolBuf, _IOFBF, kSpoolWriteBuffer);
  for (;;) {
    int n = HttpRecvServer(nSv, pRec->mRecv, kRecvChunk);
    if (n > 0) pRec->mRecv[n] = '\0';
    if (n > 0 && pRec->nLogBytes == 0 && n >= 10) pRec->nLogStatus = static_cast<int>(ParseDecimal(pRec->mRecv + 9));
    if (n < 0) {
      DebugLogF("[%s] [%04d] S:recv(%04d):%d bytes. / WSAGetLastError() = %d\n", pEx->szTag, pRec->nSock, nSv, -1,
                HttpLastError());
      break;
    }
    if (n == 0) break;
    pRec->nLogBytes += static_cast<uint32_t>(n);
    pEx->bGotData = 1;
    DebugLogF("[%s] [%04d] S:recv(%04d):%d bytes.%s\n", pEx->szTag, pRec->nSock, nSv, n, pEx->szRecvEnd);
    // A response the spool cannot hold whole is not inspected, stored or
    // delivered: the exchange ends here.
    if (pEx->bStoreFailed || PlatSpoolAppend(pSpool, pRec->mRecv, static_cast<std::size_t>(n)) != 1) {
      pEx->bStoreFailed = 1;
      break;
    }
    int nTrack = TrackerFeed(&pEx->track, pRec->mRecv, static_cast<std::size_t>(n));
    if (nTrack < 0) break;  // bad framing: nothing of it reaches the client
    if (pEx->fnPiece != nullptr) {
      int nGo = pEx->fnPiece(pEx->pCtx, pRec, pSpool, pRec->mRecv, static_cast<std::size_t>(n), &pEx->track);
      if (nGo < 0) pEx->bStoreFailed = 1;
      if (nGo != 1) break;
    }
    if (nTrack == 1 || bSendFailed) break;
  }
  if (pSpool != nullptr && PlatSpoolClose(pSpool) != 1) pEx->bStoreFailed = 1;
  delete[] pSpoolBuf;
}

}  // namespace

void ServerExchangeInit(ServerExchange *pEx, const char *szTag, const char *szRecvEnd, const char *szSpool,
                        const char *szHost, int nPort, int bReused) {
  pEx->szTag = szTag;
  pEx->szRecvEnd = szRecvEnd;
  pEx->szSpool = szSpool;
  pEx->nSpoolSlot = -1;
  pEx->szHost = szHost;
  pEx->nPort = nPort;
  pEx->bReused = bReused;
  pEx->bHead = 0;
  pEx->pCtx = nullptr;
  pEx->fnSend = nullptr;
  pEx->fnPiece = nullptr;
  pEx->bGotData = pEx->bStoreFailed = 0;
}

void RunServerExchange(ConnectionRecord *pRec, int *pnSv, ServerExchange *pEx) {
  int bReused = pEx->bReused;
  for (int nTry = 0; nTry < 2; ++nTry) {
    pRec->bKeepAlive = 0;
    int bSendFailed = pEx->fnSend(pEx->pCtx, pRec, *pnSv) < 0;
    CollectResponse(pRec, *pnSv, bSendFailed, pEx);
    if (pEx->bGotData || !bReused || pEx->bStoreFailed) return;
    // The kept connection was closed by the server while idle: once more
    // on a new one.
    CloseServer(pRec);
    ConnectResult conn;
    *pnSv = OpenServer(pRec, pEx->szHost, pEx->nPort, 0, &conn);
    bReused = conn.bReused;
    if (*pnSv == -1) {
      DebugLogF("[%s] [%04d] connect fail.\n", pEx->szTag, pRec->nSock);
      pRec->bKeepAlive = 0;  // nothing was answered: the client connection ends
      return;
    }
    pRec->nSvSock = *pnSv;
  }
}
