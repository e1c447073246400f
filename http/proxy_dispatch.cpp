// Proxy_Dispatch (method choice and the access-log line) and the steps the
// GET and other-method handlers share: target analysis with the list
// decision, server connection with reuse, and file delivery.
#include "http/proxy_dispatch.h"

#include <cstring>
#include <new>

#include "base/fixed_text.h"
#include "core/file_pieces.h"
#include "core/lists.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "net/connection_record.h"
#include "net/outbound.h"
#include "http/handlers.h"
#include "core/spool_file.h"
#include "net/http_io.h"
#include "http/http_text.h"
#include "http/target.h"

namespace {

constexpr std::size_t kLoggedLineMax = 16320;
constexpr std::size_t kMethodMax = 20;

}  // namespace

int Proxy_Dispatch(ConnectionRecord *pRec) {
  // The request line, cut for the log, and its copy for the handlers.
  pRec->mRecv[kLoggedLineMax] = '\0';
  DebugLogF("[Proxy_Dispatch] [%04d] %s\n", pRec->nSock, pRec->mRecv);
  CopyText(pRec->mLine, kRecvChunk + 1, pRec->mRecv);
  // The method: the first word.
  std::size_t nMethod = strcspn(pRec->mLine, " \r\n");
  DebugLogF("[Proxy_Dispatch] [%04d] Start Proxy_Dispatch()\n", pRec->nSock);
  // Answers go out as header and body sends: no Nagle wait between them.
  HttpNoDelay(pRec->nSock);
  if (nMethod == 3 && strncasecmp(pRec->mLine, "GET", 3) == 0)
    GetDispatch(pRec);
  else if (nMethod == 7 && strncasecmp(pRec->mLine, "CONNECT", 7) == 0)
    ConnectDispatch(pRec);
  else if (nMethod <= kMethodMax)
    OtherDispatch(pRec);
  // A longer method gets no handler and no reply, but its log line.
  // (The mask file is read only when there is an access log to write.)
  if (g_bAccessLog && !LogMasked(pRec->mLocalIP.c_str(), static_cast<int>(pRec->nLocalPort)))
    AccessLog(pRec->mReqFile.c_str(), pRec->mClientIP.c_str(), pRec->nLogStatus, pRec->nLogBytes);
  DebugLogF("[Proxy_Dispatch] [%04d] End.\n", pRec->nSock);
  return 0;
}

int AnalyzeRequest(ConnectionRecord *pRec, int nHandler, RequestTarget *pT, AnalyzedRequest *pReq) {
  const char *szTag = nHandler == kHandlerGet ? "GetDispatch" : "OtherDispatch";
  pReq->bWhite = 0;
  pReq->szSpool[0] = pReq->szHost[0] = '\0';
  // SOCKS origin form: the Host header of the request names the server.
  char szHostHeader[kFtpPartSize] = "";
  int bSocks = g_nProxyMode == kModeSocks;
  if (bSocks) {
    FILE *pIn = OpenRequestFile(pRec);
    if (pIn != nullptr) {
      char *szLine = pRec->mWork;
      ReadLine(pIn, szLine, kRecvChunk);  // the request line
      std::size_t n;
      while ((n = ReadLine(pIn, szLine, kRecvChunk)) > 0 && strcmp(szLine, "\r\n") != 0) {
        if (StartsNoCase(szLine, "host:")) {
          const char *v = szLine + 5;
          while (*v == ' ') ++v;
          CopyText(szHostHeader, sizeof szHostHeader, v);
          szHostHeader[strcspn(szHostHeader, "\r\n")] = '\0';
          break;
        }
      }
      fclose(pIn);
    }
  }
  int nRc = AnalyzeRequestTarget(pRec->mLine, nHandler, bSocks, szHostHeader, pRec->mLocalIP.c_str(), pT);
  if (nRc != 1) {
    pRec->mLine[0] = '\0';
    return 0;
  }
  // List decision: the white list first; a black hit refuses without reply.
  if (pT->bListLookup) {
    const char *szKey = pT->bKeyUsed ? pT->mListKey.c_str() : nullptr;
    ListVerdict nVerdict = WhiteBlackVerdict(pT->mUrl.c_str(), szKey);
    if (nVerdict == kListWhite) {
      pReq->bWhite = nHandler == kHandlerGet;
    } else if (nVerdict == kListBlack) {
      if (nHandler == kHandlerGet)
        ConsoleF("[GetDispatch] [%04d] blacklist [%s]\n", pRec->nSock, pRec->mLine);
      else
        DebugLogF("[OtherDispatch] [%04d] blacklist [%s]\n", pRec->nSock, pRec->mLine);
      pRec->mLine[0] = '\0';
      return 0;
    }
  }
  int bLongLink = 0;
  if (!MakeResponseSpoolName(g_szDataDir.c_str(), g_nProxyMode, pRec->nSock, pT->mHost.c_str(), pReq->szSpool,
                             sizeof pReq->szSpool - 8, &bLongLink)) {
    pRec->mLine[0] = '\0';
    return 0;
  }
  if (bLongLink) DebugLogF("[%s] [%04d] long link!!.\n", szTag, pRec->nSock);
  // The ftp host ends at the path; a port follows a single colon.
  if (SplitHostPort(pT, pT->bFtp ? 0 : nHandler != kHandlerGet) != 1) {
    pRec->mLine[0] = '\0';
    return 0;
  }
  if (pT->bFtp) {
    char *pBlank = strchr(pT->mHost.data(), ' ');
    if (pBlank) *pBlank = '\0';
  }
  // ConnectHost takes at most 255 characters; a longer host cannot be
  // served and must not be cut into another name.
  if (!CopyText(pReq->szHost, sizeof pReq->szHost, pT->mHost.c_str())) pReq->szHost[0] = '\0';
  return 1;
}

void CloseServer(ConnectionRecord *pRec) {
  if (pRec->nSvSock != -1) {
    HttpCloseSocket(pRec->nSvSock);
    pRec->nSvSock = -1;
  }
}

int OpenServer(ConnectionRecord *pRec, const char *szHost, int nPort, int nPrevKeepAlive, ConnectResult *pResult) {
  int bReuse = g_nProxyMode == kModeHttp && nPrevKeepAlive && pRec->nSvSock != -1 && szHost[0] != '\0' &&
               strcmp(szHost, pRec->mSvHost.c_str()) == 0;
  // A kept connection to another host (or one not meant to stay) ends
  // here, so ConnectHost never closes a socket behind our back.
  if (!bReuse) CloseServer(pRec);
  if (szHost[0] == '\0') {
    pResult->mServer.Clear();
    pResult->bUpstream = pResult->bReused = 0;
    return -1;
  }
  return ConnectHost(pRec, szHost, nPort, bReuse, pResult);
}

int SendFileToClient(ConnectionRecord *pRec, FILE *pFile, const char *szTag, const char *szFailText) {
  char *pBuf = new (std::nothrow) char[kHttpSendPiece];
  if (pBuf == nullptr) return -1;
  int nResult = SendFilePieces(pFile, pBuf, kHttpSendPiece, [&](const char *p, std::size_t n) {
    int nSent = HttpSendClient(pRec, p, n);
    if (nSent < 0) {
      DebugLogF("[%s] [%04d] %sWSAGetLastError() = %d\n", szTag, pRec->nSock, szFailText, HttpLastError());
      return 0;
    }
    DebugLogF("[%s] [%04d] C:send:%d bytes\n", szTag, pRec->nSock, nSent);
    return 1;
  });
  delete[] pBuf;
  return nResult == 1 ? 1 : -1;
}
