// GetDispatch: one GET request.  An ftp URL is fetched by the FTP client,
// scanned and sent back; an http request is answered from the cache when a
// fresh copy exists, otherwise forwarded, collected in the response spool
// file, inspected, replaced by a notification page when a scan finds
// something, stored in the cache and delivered.  White-listed responses and
// responses announced larger than 2 MiB are passed on while they arrive
// (with inspection mandatory only those beyond -K, which are not scanned).
#include <cstring>
#include <new>

#include "base/fixed_text.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "net/connection_record.h"
#include "net/outbound.h"
#include "http/body_decode.h"
#include "http/cache.h"
#include "http/compose.h"
#include "net/ftp_hook.h"
#include "http/handlers.h"
#include "core/spool_file.h"
#include "net/http_io.h"
#include "http/http_text.h"
#include "http/pages.h"
#include "http/response_collect.h"
#include "http/response_track.h"
#include "http/rewrite.h"
#include "http/target.h"
#include "inspect/scan_client.h"
#include "platform/plat_file.h"
#include "platform/plat_time.h"

namespace {

using SpoolName = FixedText<kSpoolPathSize>;

// The protocol the virus scanner is told: the instance's, or in SOCKS mode
// the connection's.
int ScanProtocol(const ConnectionRecord *pRec) {
  return g_nProxyMode == kModeSocks ? static_cast<int>(pRec->nEffProto) : g_nProxyMode;
}

// Copies a file over another, retrying every 50 ms while the source still
// exists (a reader may hold it for a moment); gives up after ten seconds.
void CopyWithRetry(const char *szFrom, const char *szTo) {
  for (int i = 0; i < 200; ++i) {
    if (PlatCopyFile(szFrom, szTo, 1) == 1 || !PlatFileExists(szFrom)) return;
    PlatSleepMs(kFilePollMs);
  }
}

// Why an answer cannot be given: its spool lost data (a full disk), or a
// scanner gave no verdict while inspection is mandatory.
constexpr int kRefuseStorage = -2;
constexpr int kRefuseNoVerdict = 0;

// Answers the client with the refusal instead of the answer in szTmp
// (which is deleted); the connection closes.
void RefuseAnswer(ConnectionRecord *pRec, const char *szTmp, int nWhy) {
  DebugLogF("[GetDispatch] [%04d] [%s] refused: %s.\n", pRec->nSock, pRec->mLine,
            nWhy == kRefuseStorage ? "spool write failed" : "no verdict");
  if (nWhy == kRefuseStorage)
    HttpSendStatusClose(pRec, 507, "Insufficient Storage");
  else
    HttpSendStatusClose(pRec, 503, "Service Unavailable");
  DeleteSpool(szTmp);
  pRec->mLine[0] = '\0';
}

// Responses announced larger than this are passed on while they arrive.
// With inspection mandatory only those that will not be scanned anyway
// (beyond -K) are; without -K none.
unsigned long long PassOnSize() {
  if (!g_bScanRequired) return kHttpPassOnSize;
  return g_nScanMax != 0 ? g_nScanMax : ~0ull;
}

// The ftp branch: the FTP client writes the answer, the virus scanner
// checks it, and it goes to the client as it is.
int FetchFtp(ConnectionRecord *pRec, const RequestTarget *pT, const AnalyzedRequest *pReq) {
  SpoolName tmp;
  tmp.Format("%s.tmp", pReq->szSpool);
  pRec->mRecv[0] = '\0';
  FILE *pAnswer = PlatSpoolCreate(tmp.c_str(), "wb");
  if (pAnswer == nullptr) {
    pRec->mLine[0] = '\0';
    return -1;
  }
  FtpClient(pRec, pAnswer, pT->mFtpUser.c_str(), pT->mFtpPass.c_str(), pReq->szHost, pT->nPort,
            pT->mFtpDir.c_str(), pT->mFtpCmd.c_str(), pT->mFtpFile.c_str());
  if (PlatSpoolClose(pAnswer) != 1) {
    RefuseAnswer(pRec, tmp.c_str(), kRefuseStorage);
    return 0;
  }
  char szVerdict[kScanReplySize + 1] = "";
  int nScanned = ScanFile(ScanProtocol(pRec), pRec->nSock, tmp.c_str(), szVerdict);
  DebugLogF("[GetDispatch] [%04d] [%s] VIRUS result [%s]\n", pRec->nSock, tmp.c_str(),
            szVerdict[0] ? szVerdict : "CLEAN");
  if (ScanMissing(nScanned)) {
    RefuseAnswer(pRec, tmp.c_str(), kRefuseNoVerdict);
    return 0;
  }
  if (szVerdict[0]) {
    FixedText<kScanReplySize + 16> found;
    found.Format("Found %s\r\n", szVerdict);
    PlatWriteWholeFile(tmp.c_str(), found.c_str(), found.Length());
  }
  FILE *pIn = OpenSpool(tmp.c_str(), "rb");
  if (pIn != nullptr) {
    SendFileToClient(pRec, pIn, "GetDispatch", "C:send: ");
    fclose(pIn);
  }
  DeleteSpool(tmp.c_str());
  pRec->mLine[0] = '\0';
  return 0;
}

// Cache file name of the request, or empty when it is not cached.
void CacheFileName(ConnectionRecord *pRec, const char *szHost, int nPort, char *pOut, std::size_t nOutSize) {
  pOut[0] = '\0';
  // With the cache off the name stays empty whatever the request says; the
  // work below would only show in the debug log's no-cache lines.
  if (g_nCacheMin == 0 && !DebugLogEnabled()) return;
  FILE *pIn = OpenRequestFile(pRec);
  if (pIn == nullptr) return;
  char *szLine = pRec->mRecv;
  ReadLine(pIn, szLine, kRecvChunk + 1);
  // The answer to a request with the user's own credentials or cookies is
  // that user's alone: neither looked up nor stored.
  rewind(pIn);
  int bPrivate = HttpHeaderPrivate(pIn, 1);
  fclose(pIn);
  if (bPrivate) return;
  if (strcasestr(szLine, "get ") == nullptr || strcasestr(szLine, "https://") != nullptr) return;
  char szKey[kCacheKeySize];
  char szDigest[33];
  // The user-name field is empty for HTTP connections.
  if (!BuildHttpCacheKey("", szHost, nPort, szLine, szKey, sizeof szKey)) return;
  if (CacheDigest(szKey, szDigest) != 1) return;
  int bNoCache = Query_NoCache(pRec->nSock, szKey);
  if (g_nCacheMin != 0 && !bNoCache)
    snprintf(pOut, nOutSize, "%shttpcache/%s.dat", g_szDataDir.c_str(), szDigest);
}

// Answers from the cache when the copy is fresh.  Returns 1 when answered.
int AnswerFromCache(ConnectionRecord *pRec, const char *szCache, const RequestTarget *pT,
                    const AnalyzedRequest *pReq) {
  int nFresh = HttpCacheFresh(szCache, pRec->nSock, g_nCacheMin);
  if (nFresh < 0) return 0;
  if (nFresh == 0) {
    DeleteSpool(szCache);
    return 0;
  }
  DebugLogF("[GetDispatch] [%04d] HTTP cash useing. %s\n", pRec->nSock, szCache);
  MetricCount(kMetCacheHit);
  // A store replaces the cache file by rename, so the open file stays whole
  // while it is sent: no private copy is needed.
  SpoolName cash;
  cash.Format("%s.cash", pReq->szSpool);
  DeleteSpool(cash.c_str());
  FILE *pIn = OpenSpool(szCache, "rb");
  if (pIn == nullptr) return 1;
  DeliverResponseHeader(pRec, pIn, pT->mVersion.c_str(), kResponseCache);
  SendFileToClient(pRec, pIn, "GetDispatch", "send: ");
  fclose(pIn);
  return 1;
}

// Passes on what has arrived: the first time the whole spool file so far
// (with the header rewritten), later the new piece.  Returns -1 when a send
// to the client failed, kSpoolFull when the spool file could not take the
// response.
int PassOn(ConnectionRecord *pRec, FILE *pSpool, const char *szSpool, const char *pPiece, std::size_t nPiece,
           int *pbStarted, const RequestTarget *pT) {
  if (*pbStarted) {
    int nSent = HttpSendClient(pRec, pPiece, nPiece);
    if (nSent < 0) {
      DebugLogF("[GetDispatch] [%04d] C:send: WSAGetLastError() = %d\n", pRec->nSock, HttpLastError());
      return -1;
    }
    DebugLogF("[GetDispatch] [%04d] C:send:%d bytes\n", pRec->nSock, nSent);
    return 1;
  }
  *pbStarted = 1;
  if (fflush(pSpool) != 0 || ferror(pSpool)) return kSpoolFull;  // the file lacks bytes
  FILE *pIn = OpenSpoolLong(szSpool, "rb");
  if (pIn == nullptr) {
    DebugLogF("[GetDispatch] [%04d] temp file not open. (%s)\n", pRec->nSock, szSpool);
    return -1;  // the later pieces alone would be a broken answer
  }
  DeliverResponseHeader(pRec, pIn, pT->mVersion.c_str(), kResponseServer);
  int nRc = SendFileToClient(pRec, pIn, "GetDispatch", "C:send: ");
  fclose(pIn);
  return nRc;
}

// Composes the request into memory (the first 16,304 bytes go out) and
// sends it with one send.  Returns 1, or -1 when the send failed.
int SendRequest(ConnectionRecord *pRec, int nSv, const RequestTarget *pT, int bUpstream, char *pBuf) {
  FILE *pIn = OpenRequestFile(pRec);
  if (pIn == nullptr) return 1;  // nothing composed, nothing sent
  RequestSink sink{};
  sink.pBuf = pBuf;
  sink.nCap = kHttpRequestSendMax;
  ComposeInput in{pT, bUpstream, 0};
  ComposeRequestHeader(pRec, pIn, &in, &sink);
  // A body after the header goes along unchanged, within the same cut.
  if (sink.nLen < sink.nCap) sink.nLen += fread(pBuf + sink.nLen, 1, sink.nCap - sink.nLen, pIn);
  fclose(pIn);
  pBuf[sink.nLen] = '\0';
  int n = HttpSendServer(nSv, pBuf, sink.nLen);
  DebugLogF("[GetDispatch] [%04d] Requestheader [%04d] [\n%s]\n", pRec->nSock, nSv, pBuf);
  if (n < 0) {
    ConsoleF("[GetDispatch] [%04d] S:send(%04d): WSAGetLastError() = %d\n", pRec->nSock, nSv, HttpLastError());
    return -1;
  }
  ConsoleF("[GetDispatch] [%04d] S:send(%04d):%d bytes\n", pRec->nSock, nSv, n);
  return 1;
}

// What GetDispatch's exchange needs besides the record: the request to
// compose, and the state of passing the response on while it arrives.
struct GetExchange {
  const RequestTarget *pT;
  const char *szSpool;
  char *pBuf;          // the composed request
  int bUpstream;
  int bWhite;
  int bStarted;        // the spool so far went to the client with its header
  int bPassedOn;       // the client already has the response
  int bClientFailed;   // a send to the client failed
  ServerExchange ex;
};

int SendGetRequest(void *pCtx, ConnectionRecord *pRec, int nSv) {
  GetExchange *pG = static_cast<GetExchange *>(pCtx);
  return SendRequest(pRec, nSv, pG->pT, pG->bUpstream, pG->pBuf);
}

// White-listed responses, and those announced larger than the pass-on
// size, go to the client piece by piece while they arrive.
int PassOnPiece(void *pCtx, ConnectionRecord *pRec, FILE *pSpool, const char *pPiece, std::size_t nPiece,
                const ResponseTracker *pTrack) {
  GetExchange *pG = static_cast<GetExchange *>(pCtx);
  int bPass = pG->bWhite || (pTrack->bLengthKnown && pTrack->nExpected > PassOnSize());
  if (!bPass || pG->bClientFailed) return 1;
  // An answer that ends with the server's close ends the client connection
  // too: its header says so when it goes out.
  const ResponseTracker &t = *pTrack;
  if (!pG->bStarted && !t.bHeaderPending && !t.bLengthKnown && !t.bChunked && !t.bNoBody) pRec->bKeepAlive = 0;
  int nPassed = PassOn(pRec, pSpool, pG->szSpool, pPiece, nPiece, &pG->bStarted, pG->pT);
  if (nPassed == kSpoolFull) return -1;
  pG->bPassedOn = 1;
  if (nPassed < 0) {
    pG->bClientFailed = 1;
    return 0;
  }
  return 1;
}

// Virus scan and content filter of a complete response (R.tmp holds the
// whole response on entry and the answer for the client on return; R the
// body the virus scanner read, when it was there to read it).
// Returns 1, or why the answer must be refused (kRefuseStorage: a file
// could not be written whole; kRefuseNoVerdict: a scanner gave no verdict
// while inspection is mandatory).  pTrack followed the response as it
// arrived.
int Inspect(ConnectionRecord *pRec, int nSv, const char *szSpool, const char *szTmp, const ResponseTracker *pTrack) {
  char szVerdict[kHttpScanReplySize + 1] = "";
  int nScanned;
  if (VirusScannerReachable()) {
    if (WriteResponseBody(szTmp, szSpool) != 1) return kRefuseStorage;
    // The virus scanner sees the body the client will use: chunks joined
    // and a gzip or deflate coding undone.  The decoder reads the first
    // header of R.tmp; when no interim answer came before the final one,
    // the tracker has parsed that same header already, and a plain body is
    // not read again.
    const HttpFraming &f = pTrack->reader.framing;
    int bInterim = pTrack->reader.nHeaderTotal != f.nHeaderLen;
    int bCoded = f.bChunked || f.nCoding == kCodingGzip || f.nCoding == kCodingDeflate;
    if ((bInterim || (bCoded && !f.bNoBody)) && DecodeMessageBodyFile(szTmp, kHttpResponse, szSpool) == kSpoolFull)
      return kRefuseStorage;
    nScanned = ScanFile(ScanProtocol(pRec), nSv, szSpool, szVerdict);
  } else {
    // Only the virus scanner reads the body alone: without it R is not made.
    nScanned = VirusScannerMissing(szVerdict);
  }
  DebugLogF("[GetDispatch] [%04d] [%04d] [%s] [%s]\n", pRec->nSock, nSv, pRec->mLine,
            szVerdict[0] ? szVerdict : "CLEAN");
  if (ScanMissing(nScanned)) return kRefuseNoVerdict;
  if (szVerdict[0] && NotifyPage(kPageVirus, szTmp, szSpool, szVerdict) != 1) return kRefuseStorage;
  szVerdict[0] = '\0';
  nScanned = ScanHttpFile(nSv, szTmp, szVerdict);
  DebugLogF("[GetDispatch] [%04d] [%04d] [%s] [%s]\n", pRec->nSock, nSv, pRec->mLine,
            szVerdict[0] ? szVerdict : "CLEAN");
  if (ScanMissing(nScanned)) return kRefuseNoVerdict;
  if (szVerdict[0] && NotifyPage(kPageWord, szTmp, szSpool, szVerdict) != 1) return kRefuseStorage;
  return 1;
}

int ForwardRequest(ConnectionRecord *pRec, RequestTarget *pT, AnalyzedRequest *pReq, int nPrevKeep,
                   const char *szCache) {
  ConnectResult conn;
  int nSv = OpenServer(pRec, pReq->szHost, pT->nPort, nPrevKeep, &conn);
  if (nSv == -1) {
    DebugLogF("[GetDispatch] [%04d] connect fail.\n", pRec->nSock);
    pRec->mLine[0] = '\0';
    return 0;
  }
  pRec->nSvSock = nSv;
  int bUpstream = conn.bUpstream;
  DebugLogF("[GetDispatch] [%04d] [%04d] sender connect success.\n", pRec->nSock, nSv);
  pRec->nLogStatus = 0;
  pRec->nLogBytes = 0;

  SpoolName tmp, cash;
  tmp.Format("%s.tmp", pReq->szSpool);
  cash.Format("%s.cash", pReq->szSpool);
  // The response is collected where the client's answer is read from:
  // R.tmp, which inspection leaves as the answer.  A white-listed response
  // is not inspected and stays in R (it has no R.tmp, so it is not cached).
  const char *szCollect = pReq->bWhite ? pReq->szSpool : tmp.c_str();
  char *pBuf = new (std::nothrow) char[kHttpRequestSendMax + 1];
  GetExchange *pGet = new (std::nothrow) GetExchange;
  if (pBuf == nullptr || pGet == nullptr) {
    delete[] pBuf;
    delete pGet;
    CloseServer(pRec);
    pRec->mLine[0] = '\0';
    return 0;
  }
  pGet->pT = pT;
  pGet->szSpool = szCollect;
  pGet->pBuf = pBuf;
  pGet->bUpstream = bUpstream;
  pGet->bWhite = pReq->bWhite;
  pGet->bStarted = pGet->bPassedOn = pGet->bClientFailed = 0;
  ServerExchange &ex = pGet->ex;
  ServerExchangeInit(&ex, "GetDispatch", " ", szCollect, pReq->szHost, pT->nPort, conn.bReused);
  // R.tmp is kept under its name for the next answer on this socket.
  if (!pReq->bWhite) ex.nSpoolSlot = SpoolSlot(pRec->nSock, kSpoolAnswer);
  ex.pCtx = pGet;
  ex.fnSend = SendGetRequest;
  ex.fnPiece = PassOnPiece;
  RunServerExchange(pRec, &nSv, &ex);
  delete[] pBuf;
  pGet->pBuf = nullptr;
  const ResponseTracker &track = ex.track;
  if (ex.bStoreFailed || track.bBad) {
    // The spool lost part of the response, or its framing cannot be
    // followed (RFC 9112 6.3): the server connection is not used again,
    // nothing is inspected or stored, and the client gets the refusal or
    // 502 (or, when it already has part of the answer, the end of the
    // connection).
    DebugLogF("[GetDispatch] [%04d] [%04d] %s.\n", pRec->nSock, nSv,
              ex.bStoreFailed ? "spool write failed" : "bad response framing");
    CloseServer(pRec);
    if (!pGet->bPassedOn && ex.bStoreFailed) RefuseAnswer(pRec, tmp.c_str(), kRefuseStorage);
    if (!pGet->bPassedOn && !ex.bStoreFailed) HttpSendStatusClose(pRec, 502, "Bad Gateway");
    pRec->bKeepAlive = 0;
    delete pGet;
    DeleteSpool(szCollect);
    DeleteSpool(cash.c_str());
    pRec->mLine[0] = '\0';
    return 0;
  }
  // A response cut short is not stored, and the client connection ends
  // after what arrived so the client can tell it is incomplete.
  int bCutShort = TrackerCutShort(&track);
  if (bCutShort) pRec->bKeepAlive = 0;
  // An answer that ends only with the server's close cannot be followed by
  // another one on the client connection either.
  if (!track.bLengthKnown && !track.bChunked && !track.bNoBody) pRec->bKeepAlive = 0;
  // The server connection stays only for a kept exchange whose response
  // ended by its own framing.
  if (pRec->nSvSock != -1 &&
      (!pRec->bKeepAlive || !track.bComplete || track.bServerClose || pGet->bClientFailed)) {
    DebugLogF("[GetDispatch] [%04d] Close Server socket. [%04d]\n", pRec->nSock, pRec->nSvSock);
    CloseServer(pRec);
  }
  if (pGet->bClientFailed) pRec->bKeepAlive = 0;
  int nSvLog = nSv;
  // Inspection.
  if (!pReq->bWhite) {
    int nInspected = Inspect(pRec, nSvLog, pReq->szSpool, tmp.c_str(), &track);
    if (nInspected != 1) {
      // Nothing unscanned or cut short reaches the client or the cache.
      if (!pGet->bPassedOn) RefuseAnswer(pRec, tmp.c_str(), nInspected);
      pRec->bKeepAlive = 0;
      CloseServer(pRec);
      delete pGet;
      DeleteSpool(pReq->szSpool);
      DeleteSpool(tmp.c_str());
      DeleteSpool(cash.c_str());
      pRec->mLine[0] = '\0';
      return 0;
    }
  } else {
    DebugLogF("[GetDispatch] [%04d] [%04d] whitelist [%s]\n", pRec->nSock, nSvLog, pRec->mLine);
  }
  // Cache store (a white-listed response has no R.tmp).
  if (szCache[0] != '\0' && !bCutShort && PlatFileExists(tmp.c_str()) && !HttpFilePrivate(tmp.c_str(), 0)) {
    DebugLogF("[GetDispatch] [%04d] [%04d] HTTP cash making. %s\n", pRec->nSock, nSvLog, szCache);
    MetricCount(kMetCacheStore);
    CopyWithRetry(tmp.c_str(), szCache);
  }
  // Delivery unless it was passed on.
  DeleteSpool(cash.c_str());
  if (!pGet->bPassedOn) {
    FILE *pIn = OpenSpoolLong(tmp.c_str(), "rb");
    if (pIn == nullptr) {
      DebugLogF("[GetDispatch] [%04d] C:temp file not open. (%s)\n", pRec->nSock, tmp.c_str());
    } else {
      DeliverResponseHeader(pRec, pIn, pT->mVersion.c_str(), kResponseServer);
      if (SendFileToClient(pRec, pIn, "GetDispatch", "C:send: ") < 0) pRec->bKeepAlive = 0;
      fclose(pIn);
    }
  }
  if (bCutShort) pRec->bKeepAlive = 0;
  delete pGet;
  // The spool files go (R.tmp stays, emptied, for the next answer on this
  // socket); a connection that ends takes its server with it.
  DeleteSpool(pReq->szSpool);
  if (pReq->bWhite)
    DeleteSpool(tmp.c_str());
  else
    KeepSpool(tmp.c_str(), SpoolSlot(pRec->nSock, kSpoolAnswer));
  if (!pRec->bKeepAlive) CloseServer(pRec);
  pRec->mLine[0] = '\0';
  return 0;
}

}  // namespace

int GetDispatch(ConnectionRecord *pRec) {
  int nPrevKeep = pRec->bKeepAlive;
  pRec->bKeepAlive = 0;
  pRec->nExchangeKind = 2;
  RequestTarget *pT = new (std::nothrow) RequestTarget;
  AnalyzedRequest *pReq = new (std::nothrow) AnalyzedRequest;
  if (pT == nullptr || pReq == nullptr) {
    delete pT;
    delete pReq;
    CloseServer(pRec);
    pRec->mLine[0] = '\0';
    return 0;
  }
  int nResult = 0;
  if (AnalyzeRequest(pRec, kHandlerGet, pT, pReq)) {
    if (pT->bFtp) {
      nResult = FetchFtp(pRec, pT, pReq);
    } else {
      char szCache[kPathSize + 48];
      CacheFileName(pRec, pReq->szHost, pT->nPort, szCache, sizeof szCache);
      if (szCache[0] != '\0' && AnswerFromCache(pRec, szCache, pT, pReq)) {
        pRec->mLine[0] = '\0';
      } else {
        if (szCache[0] != '\0') MetricCount(kMetCacheMiss);
        ForwardRequest(pRec, pT, pReq, nPrevKeep, szCache);
      }
    }
  }
  // Requests that end before a server exchange leave no kept connection.
  if (!pRec->bKeepAlive) CloseServer(pRec);
  delete pT;
  delete pReq;
  return nResult;
}
