// OtherDispatch: POST, PUT, HEAD, OPTIONS, DELETE and every other method of
// at most 20 characters.  The request (header rewritten, body byte for
// byte) goes to the server, the whole response is collected and then
// delivered; nothing is scanned or cached.
#include <cstring>
#include <new>

#include "base/fixed_text.h"
#include "core/file_pieces.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/connection_record.h"
#include "net/outbound.h"
#include "http/compose.h"
#include "http/handlers.h"
#include "core/spool_file.h"
#include "net/http_io.h"
#include "http/http_text.h"
#include "http/response_collect.h"
#include "http/response_track.h"
#include "http/rewrite.h"
#include "http/target.h"
#include "platform/plat_file.h"

namespace {

constexpr std::size_t kLoggedHeaderMax = 16304;

// Sends nLen bytes to the server with the "S:send" line.  Returns 1 or -1.
int SendLogged(ConnectionRecord *pRec, int nSv, const char *p, std::size_t nLen) {
  int n = HttpSendServer(nSv, p, nLen);
  if (n < 0) {
    DebugLogF("[OtherDispatch] [%04d] S:send(%04d): WSAGetLastError() = %d\n", pRec->nSock, nSv, HttpLastError());
    return -1;
  }
  DebugLogF("[OtherDispatch] [%04d] S:send(%04d):%d bytes\n", pRec->nSock, nSv, n);
  return 1;
}

// Sends the rest of pIn to the server in pieces.  Returns 1 or -1.
int SendRest(ConnectionRecord *pRec, int nSv, FILE *pIn, char *pBuf) {
  int r = SendFilePieces(pIn, pBuf, kHttpSendPiece,
                         [&](const char *p, std::size_t n) { return SendLogged(pRec, nSv, p, n) < 0 ? 0 : 1; });
  return r == 1 ? 1 : -1;
}

// Builds the outgoing request file and sends it: header with one send, the
// body in pieces.  When the file cannot be created, every rewritten line
// goes out at once and the body follows from the request spool file.
void SendOtherRequest(ConnectionRecord *pRec, int nSv, const RequestTarget *pT, int bUpstream) {
  FILE *pIn = OpenRequestFile(pRec);
  if (pIn == nullptr) return;
  char *pBuf = new (std::nothrow) char[kHttpSendPiece];
  if (pBuf == nullptr) {
    fclose(pIn);
    return;
  }
  FixedText<kSpoolPathSize> post;
  post.Format("%s.post", pRec->mReqFile.c_str());
  ComposeInput in{pT, bUpstream, 1};
  FILE *pOut = PlatSpoolCreate(post.c_str(), "wb");
  long nHeaderLen = 0;
  if (pOut != nullptr) {
    RequestSink sink{};
    sink.pFile = pOut;
    ComposeRequestHeader(pRec, pIn, &in, &sink);
    nHeaderLen = ftell(pOut);
    std::size_t n;
    int bWritten = !sink.bFailed;
    while (bWritten && (n = fread(pBuf, 1, kHttpSendPiece, pIn)) > 0) bWritten = PlatSpoolAppend(pOut, pBuf, n) == 1;
    if (PlatSpoolClose(pOut) != 1 || !bWritten) {
      // A request file that lost bytes (a full disk) must not go out as
      // the whole request: the lines are sent as they are produced.
      DebugLogF("[OtherDispatch] [%04d] request file write failed (%s).\n", pRec->nSock, post.c_str());
      DeleteSpool(post.c_str());
      rewind(pIn);
      pOut = nullptr;
    }
  }
  if (pOut == nullptr) {
    RequestSink sink{};
    sink.nSvSock = nSv;
    sink.szTag = "OtherDispatch";
    sink.nClientSock = pRec->nSock;
    ComposeRequestHeader(pRec, pIn, &in, &sink);
    if (!sink.bFailed) SendRest(pRec, nSv, pIn, pBuf);
    fclose(pIn);
    delete[] pBuf;
    return;
  }
  fclose(pIn);

  FILE *pPost = OpenSpool(post.c_str(), "rb");
  if (pPost != nullptr && nHeaderLen > 0) {
    char *pHeader = new (std::nothrow) char[static_cast<std::size_t>(nHeaderLen) + 1];
    if (pHeader != nullptr) {
      std::size_t nGot = fread(pHeader, 1, static_cast<std::size_t>(nHeaderLen), pPost);
      pHeader[nGot] = '\0';
      int n1 = HttpSendServer(nSv, pHeader, nGot);
      DebugLogF("[OtherDispatch] [%04d] Requestheader [%04d] [\n%.*s]\n", pRec->nSock, nSv,
                static_cast<int>(nGot < kLoggedHeaderMax ? nGot : kLoggedHeaderMax), pHeader);
      if (n1 < 0) {
        DebugLogF("[OtherDispatch] [%04d] S:send(%04d): WSAGetLastError() = %d\n", pRec->nSock, nSv,
                  HttpLastError());
      } else {
        DebugLogF("[OtherDispatch] [%04d] S:send(%04d):%d bytes\n", pRec->nSock, nSv, n1);
        SendRest(pRec, nSv, pPost, pBuf);
      }
      delete[] pHeader;
    }
  }
  if (pPost != nullptr) fclose(pPost);
  DeleteSpool(post.c_str());
  delete[] pBuf;
}

// The request of one OtherDispatch exchange.
struct OtherExchange {
  const RequestTarget *pT;
  int bUpstream;
};

// A failed send stops sending; what the server answers is still received.
int SendOther(void *pCtx, ConnectionRecord *pRec, int nSv) {
  const OtherExchange *pO = static_cast<const OtherExchange *>(pCtx);
  SendOtherRequest(pRec, nSv, pO->pT, pO->bUpstream);
  return 1;
}

}  // namespace

int OtherDispatch(ConnectionRecord *pRec) {
  int nPrevKeep = pRec->bKeepAlive;
  pRec->bKeepAlive = 0;
  pRec->nExchangeKind = 2;
  RequestTarget *pT = new (std::nothrow) RequestTarget;
  AnalyzedRequest *pReq = new (std::nothrow) AnalyzedRequest;
  ServerExchange *pEx = new (std::nothrow) ServerExchange;
  if (pT == nullptr || pReq == nullptr || pEx == nullptr || !AnalyzeRequest(pRec, kHandlerOther, pT, pReq)) {
    delete pT;
    delete pReq;
    delete pEx;
    CloseServer(pRec);
    pRec->mLine[0] = '\0';
    return 0;
  }
  ConnectResult conn;
  int nSv = OpenServer(pRec, pReq->szHost, pT->nPort, nPrevKeep, &conn);
  if (nSv == -1) {
    DebugLogF("[OtherDispatch] [%04d] connect fail.\n", pRec->nSock);
    delete pT;
    delete pReq;
    delete pEx;
    pRec->mLine[0] = '\0';
    return 0;
  }
  pRec->nSvSock = nSv;
  DebugLogF("[OtherDispatch] [%04d] [%04d] sender connect success.\n", pRec->nSock, nSv);
  pRec->nLogStatus = 0;
  pRec->nLogBytes = 0;
  OtherExchange other{pT, conn.bUpstream};
  ServerExchange &ex = *pEx;
  ServerExchangeInit(&ex, "OtherDispatch", "", pReq->szSpool, pReq->szHost, pT->nPort, conn.bReused);
  // The answer to HEAD ends with its header, whatever length it announces.
  ex.bHead = strncasecmp(pRec->mLine, "HEAD ", 5) == 0;
  ex.pCtx = &other;
  ex.fnSend = SendOther;
  ex.fnPiece = nullptr;  // nothing goes to the client before the whole response
  RunServerExchange(pRec, &nSv, &ex);
  const ResponseTracker *pTrack = &ex.track;
  int bStoreFailed = ex.bStoreFailed;
  if (pTrack->bBad || bStoreFailed) {
    // Framing that cannot be followed: 502; a response the spool could not
    // hold: 507.  Neither connection is used again.
    DebugLogF("[OtherDispatch] [%04d] [%04d] %s.\n", pRec->nSock, nSv,
              bStoreFailed ? "spool write failed" : "bad response framing");
    CloseServer(pRec);
    if (bStoreFailed)
      HttpSendStatusClose(pRec, 507, "Insufficient Storage");
    else
      HttpSendStatusClose(pRec, 502, "Bad Gateway");
    DeleteSpool(pReq->szSpool);
    delete pT;
    delete pReq;
    delete pEx;
    pRec->mLine[0] = '\0';
    return 0;
  }
  // A response cut short ends the client connection after what arrived.
  if (TrackerCutShort(pTrack)) pRec->bKeepAlive = 0;
  // An answer that ends only with the server's close cannot be followed by
  // another one on the client connection either.
  if (!pTrack->bLengthKnown && !pTrack->bChunked && !pTrack->bNoBody) pRec->bKeepAlive = 0;
  // The server connection stays only for a kept exchange whose response
  // ended by its own framing.
  if (pRec->nSvSock != -1 && (!pRec->bKeepAlive || !pTrack->bComplete || pTrack->bServerClose)) {
    DebugLogF("[OtherDispatch] [%04d] Close Server socket. [%04d]\n", pRec->nSock, pRec->nSvSock);
    CloseServer(pRec);
  }
  // Delivery of the whole response.
  FILE *pIn = OpenSpool(pReq->szSpool, "rb");
  if (pIn != nullptr) {
    DeliverResponseHeader(pRec, pIn, pT->mVersion.c_str(), kResponseServer);
    if (SendFileToClient(pRec, pIn, "OtherDispatch", "C:send: ") < 0) pRec->bKeepAlive = 0;
    fclose(pIn);
  }
  // The spool file goes; a connection that ends takes its server with it.
  DeleteSpool(pReq->szSpool);
  if (!pRec->bKeepAlive) CloseServer(pRec);
  delete pT;
  delete pReq;
  delete pEx;
  pRec->mLine[0] = '\0';
  return 0;
}
