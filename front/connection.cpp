#include "front/connection.h"

#include <strings.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/base64.h"
#include "core/ldap_logon.h"
#include "base/limits.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "net/client_recv.h"
#include "core/text_case.h"
#include "core/text_lines.h"
#include "front/listener.h"
#include "net/outbound.h"
#include "http/body_decode.h"
#include "core/spool_file.h"
#include "net/http_io.h"
#include "http/proxy_dispatch.h"
#include "inspect/scan_client.h"
#include "platform/plat_file.h"
#include "platform/plat_memory.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "platform/plat_tls.h"
#include "relay/relay.h"
#include "relay/relay_io.h"
#include "socks/socks.h"

std::atomic<int> g_nActiveConn{0};

namespace {

// Spool-file deletion: attempts of 50 ms (10 s in all); the next request
// truncates the file anyway.
constexpr unsigned kDeleteAttempts = 200;


// The reverse name of an address text as the records keep it: the name, ""
// when there is none, "[text]" when the text is not a numeric address.
template <size_t N>
void ReverseNameField(const char *szAddr, FixedText<N> *pOut) {
  char szName[256];
  int r = PlatReverseName(szAddr, szName, sizeof szName);
  if (r < 0)
    pOut->Format("[%s]", szAddr);
  else
    pOut->Assign(szName);
}

int SendParts(ConnectionRecord *pRec, const char *const *ppParts, size_t nParts) {
  int nResult = 1;
  for (size_t i = 0; i < nParts; ++i)
    if (SslSend(pRec->nSock, pRec->pClientSSL, ppParts[i]) < 0) nResult = -1;
  return nResult;
}

// Proxy credentials of the request in the open spool file (request line
// already read): 1 when a "Proxy-Authorization: Basic " line of the header
// passes the check, else 0.
int CheckProxyAuth(ConnectionRecord *pRec, FILE *fp) {
  while (ReadFileLine(fp, pRec->mLine, kRecvChunk + 1, LongLine::kSplit) > 0) {
    // The credentials belong to the header; an upload body may hold any text.
    if (strcmp(pRec->mLine, "\r\n") == 0 || strcmp(pRec->mLine, "\n") == 0) break;
    if (!StartsNoCase(pRec->mLine, kAuthHeader)) continue;
    pRec->mLine[strcspn(pRec->mLine, "\r\n")] = '\0';
    if (g_nLdapAuth) {
      // Directory logon: decode the credentials, split them at the last ":"
      // into user and password and the user at "@" (else "%") into user and
      // domain, then ask the directory of the LDAP settings.  A part too
      // long for the directory request fails like wrong credentials.  Only
      // the first line is tried: every try is a bind at the directory, and
      // a request must not make it check a list of guessed passwords.
      char *pDecoded = new (std::nothrow) char[kRecvChunk];
      if (!pDecoded) return 0;
      Base64Decode(pRec->mLine + kAuthHeaderLen, pDecoded, kRecvChunk);
      LdapLogonRequest req;
      int nFit = LdapRequestFromCredentials(pDecoded, &req);
      delete[] pDecoded;
      int nOk = nFit && LDAP_LOGON(&req) == 1;
      memset(&req.mPassword, 0, sizeof req.mPassword);
      return nOk;
    }
    if (ComperTokenB64(pRec) == 1) return 1;
  }
  return 0;
}

// Whether HTTP requests must carry proxy credentials.  A SOCKS connection
// has passed its own check already (SOCKS 5 username/password; SOCKS 4 is
// refused while credentials are demanded), and a SOCKS client cannot send
// the header anyway.
bool NeedProxyAuth() { return g_bProxyAuth == 1 && g_nProxyMode != kModeSocks; }

// Appends the bytes of the request to its spool file.  1 done, -1 the
// file did not take them (a full disk).
int SpoolRequestBytes(ConnectionRecord *pRec, int nReqFd, const char *p, size_t n) {
  if (n == 0) return 1;
  if (nReqFd >= 0) return PlatWriteFd(nReqFd, p, n);
  return PlatAppendFile(pRec->mReqFile.c_str(), p, n);
}

// The upload scan: the body as the server will use it when it is chunked
// or coded, otherwise the request file as it stands.  Writes the verdict.
// Returns 1 when the scanners gave their verdicts, 0 when one could not
// (inspection mandatory) and kSpoolFull when the decoded body did not fit
// on disk.
int ScanUpload(ConnectionRecord *pRec, const RequestScan *pScan, char *pFound) {
  int nScanType = g_nProxyMode == kModeSocks ? static_cast<int>(pRec->nEffProto) : g_nProxyMode;
  const HttpFraming &f = pScan->reader.framing;
  if (f.bChunked || f.nCoding == kCodingGzip || f.nCoding == kCodingDeflate) {
    PathText body;
    body.Format("%s.body", pRec->mReqFile.c_str());
    int nDecoded = DecodeMessageBodyFile(pRec->mReqFile.c_str(), kHttpRequest, body.c_str());
    if (nDecoded == 1) {
      int nScanned = ScanFile(nScanType, pRec->nSock, body.c_str(), pFound);
      PlatSpoolDelete(body.c_str(), kDeleteAttempts);
      if (ScanMissing(nScanned)) return 0;
      if (pFound[0]) return 1;
    } else if (nDecoded == kSpoolFull) {
      PlatSpoolDelete(body.c_str(), kDeleteAttempts);
      return kSpoolFull;
    }
  }
  return ScanMissing(ScanFile(nScanType, pRec->nSock, pRec->mReqFile.c_str(), pFound)) ? 0 : 1;
}

// Ends a request that cannot be served whole: the client gets nStatus and
// the connection closes.
void RefuseRequest(ConnectionRecord *pRec, int nStatus, const char *szReason) {
  DebugLogF("[AcceptClients] [%04d] [%s] refused: %d %s.\n", pRec->nSock, pRec->mLine, nStatus, szReason);
  HttpSendStatusClose(pRec, nStatus, szReason);
  pRec->nClientCarry = 0;
}

// One pass of the HTTP request loop.  Returns 1 when a request was served
// (the loop may go on), 0 when the client sent nothing (closed or idle).
// Bytes that follow the request stay in the carry for the next pass.
int ServeOneRequest(ConnectionRecord *pRec, RequestScan **ppScan) {
  const int nSock = pRec->nSock;
  // Created empty and kept open while the request arrives: every block is
  // appended through the one descriptor.  The previous request on this
  // socket (of this connection or an earlier one) left the file emptied in
  // place: deleting it and creating it again would take the spool folder's
  // lock twice per request.
  const int nReqSlot = SpoolSlot(nSock, kSpoolRequest);
  int nReqFd = PlatSpoolCreateFdSlot(pRec->mReqFile.c_str(), nReqSlot);

  // The scanner (64 KiB of header buffer) is taken when the first bytes of
  // the first request are there: a client that connects and waits costs
  // only its thread and the record.
  RequestScan *pScan = *ppScan;
  if (pScan != nullptr) RequestScanInit(pScan);
  auto fnScan = [&]() {
    if (pScan == nullptr) {
      pScan = *ppScan = new (std::nothrow) RequestScan;
      if (pScan != nullptr) RequestScanInit(pScan);
    }
    return pScan != nullptr;
  };
  int bStoreFailed = 0;
  int64_t nTotal = 0;
  int nFramed = 0;
  size_t nUsed = 0;
  if (pRec->nClientCarry > 0 && fnScan()) {
    // Already received: the next request of a pipeline, or the bytes a SOCKS
    // client sent right behind its CONNECT request.
    size_t nCarry = static_cast<size_t>(pRec->nClientCarry);
    nFramed = RequestScanFeed(pScan, pRec->mClientCarry, nCarry, &nUsed);
    if (SpoolRequestBytes(pRec, nReqFd, pRec->mClientCarry, nUsed) != 1) bStoreFailed = 1;
    nTotal += static_cast<int64_t>(nUsed);
    memmove(pRec->mClientCarry, pRec->mClientCarry + nUsed, nCarry - nUsed);
    pRec->nClientCarry = static_cast<int32_t>(nCarry - nUsed);
  }
  // The whole header must arrive within the request wait (-T, second
  // value), counted from the start of this pass; the body must keep pace.
  ClientDeadline deadline;
  ClientDeadlineStart(&deadline, g_nTmoServer);
  int bLate = 0;
  while (nFramed == 0) {
    // Only the byte after what arrives is cleared: zeroing the whole
    // buffer first would make an idle connection hold its pages.
    int n = ClientRecv(nSock, pRec->pClientSSL, pRec->mRecv, static_cast<int>(kRecvChunk), &deadline);
    pRec->mRecv[n > 0 ? n : 0] = '\0';
    if (n < 0) {
      int nErr = PlatLastError();
      DebugLogF("[AcceptClients] [%04d] C:recv:%d bytes. / WSAGetLastError() = %d\n", nSock, -1, nErr);
      bLate = nTotal > 0 && nErr == ETIMEDOUT;
      break;
    }
    if (n == 0) break;
    DebugLogF("[AcceptClients] [%04d] C:recv:%d bytes.\n", nSock, n);
    MetricBytes(kMetBytesFromClient, n);
    if (!fnScan()) break;
    nFramed = RequestScanFeed(pScan, pRec->mRecv, static_cast<size_t>(n), &nUsed);
    if (HttpReaderHeaderDone(&pScan->reader)) ClientDeadlineCredit(&deadline, nUsed);
    // After a failed write the rest of the request is still read (and
    // dropped), so that the refusal reaches a client that is still sending.
    if (!bStoreFailed && SpoolRequestBytes(pRec, nReqFd, pRec->mRecv, nUsed) != 1) bStoreFailed = 1;
    nTotal += static_cast<int64_t>(nUsed);
    if (nFramed == 1 && nUsed < static_cast<size_t>(n)) {
      memcpy(pRec->mClientCarry, pRec->mRecv + nUsed, static_cast<size_t>(n) - nUsed);
      pRec->nClientCarry = static_cast<int32_t>(static_cast<size_t>(n) - nUsed);
    }
  }
  PlatCloseFd(nReqFd);
  if (nFramed < 0 || bLate) {
    // A request that cannot be framed the same way by every reader on its
    // path is refused, and the connection ends with it; so is one that did
    // not arrive in time (RFC 9110 15.5.9).
    int nStatus = bLate ? 408 : pScan->reader.nError == 431 ? 431 : 400;
    const char *szReason = nStatus == 408   ? "Request Timeout"
                           : nStatus == 431 ? "Request Header Fields Too Large"
                                            : "Bad Request";
    DebugLogF("[AcceptClients] [%04d] request refused (%d).\n", nSock, nStatus);
    HttpSendStatusClose(pRec, nStatus, szReason);
    pRec->nClientCarry = 0;
    PlatSpoolDelete(pRec->mReqFile.c_str(), kDeleteAttempts);
    return 1;
  }
  // A client that closed or went quiet before sending a byte has nothing to
  // be answered.
  if (nTotal == 0) {
    KeepSpool(pRec->mReqFile.c_str(), nReqSlot);
    return 0;
  }
  MetricCount(kMetRequestHttp);

  CopyText(pRec->mLine, kLineBufSize, pScan->mFirstLine);
  if (bStoreFailed) {
    // The spool lost part of the request: nothing of it is scanned or sent.
    RefuseRequest(pRec, 507, "Insufficient Storage");
    PlatSpoolDelete(pRec->mReqFile.c_str(), kDeleteAttempts);
    return 1;
  }
  // A request without a body is its header alone: the handlers read it from
  // memory instead of opening the file again.  (Empty lines in front of the
  // request line are in the file but not in the header.)
  if (!RequestTextOfHeader(pScan, nTotal, &pRec->pReqText, &pRec->nReqText)) {
    pRec->pReqText = nullptr;
    pRec->nReqText = 0;
  }
  int bRefused = 0;
  if (pScan->bUpload) {
    char szFound[kScanReplySize] = "";
    int nScanned = ScanUpload(pRec, pScan, szFound);
    DebugLogF("[AcceptClients] [%04d] [%s] [%s]\n", nSock, pRec->mLine, szFound[0] ? szFound : "CLEAN");
    if (nScanned != 1) {
      if (nScanned == kSpoolFull)
        RefuseRequest(pRec, 507, "Insufficient Storage");
      else
        RefuseRequest(pRec, 503, "Service Unavailable");
      bRefused = 1;
    } else if (szFound[0]) {
      SendUploadRefused(pRec, szFound);
      pRec->bKeepAlive = 0;  // the page announces "Proxy-Connection: close"
      bRefused = 1;
    }
  }

  if (!bRefused) {
    int bAuthenticated = 0;
    // The request was written by this thread: a file that is not there
    // will not appear by waiting.
    // Without credentials to check, the request line comes from the header
    // the scanner holds: the file need not be read back for it.
    if (NeedProxyAuth() || !RequestLineOfHeader(pScan, pRec->mRecv, kRecvChunk + 1)) {
      FILE *fp = OpenRequestFile(pRec);
      if (fp) {
        ReadFileLine(fp, pRec->mRecv, kRecvChunk + 1, LongLine::kSplit);
        if (NeedProxyAuth()) bAuthenticated = CheckProxyAuth(pRec, fp);
        fclose(fp);
      }
    }
    if (!NeedProxyAuth() || bAuthenticated) {
      Proxy_Dispatch(pRec);
    } else {
      SendProxyAuthRequired(pRec);
      MetricCount(kMetRefusedAuth);
      // The reply announces "Proxy-Connection: close".
      pRec->bKeepAlive = 0;
    }
  }
  pRec->pReqText = nullptr;
  pRec->nReqText = 0;
  // Bytes after the request belong to a next request only on a connection
  // that goes on.
  if (!pRec->bKeepAlive) pRec->nClientCarry = 0;
  KeepSpool(pRec->mReqFile.c_str(), nReqSlot);
  return 1;
}

// The HTTP request loop: requests one after another while the handlers keep
// the connection alive; then a kept server connection is closed.
void RunHttpLoop(ConnectionRecord *pRec) {
  pRec->bKeepAlive = 0;
  pRec->nSvSock = -1;
  // The carry is kept: a SOCKS client may have sent its first request right
  // behind the CONNECT.
  RequestScan *pScan = nullptr;
  // A new client has most likely sent its request by the time its thread
  // runs: it is received without a readiness wait first.
  PlatRecvTryFirst(pRec->nSock);
  while (ServeOneRequest(pRec, &pScan) == 1 && pRec->bKeepAlive == 1) {
  }
  delete pScan;
  // The request file stays, emptied, for the next client on this socket.
  if (pRec->nSvSock != -1) ConnectHost(pRec, "", 0, 0, nullptr);
}

}  // namespace

namespace {

// The "Date: ...\r\n" line of a generated reply.
struct DateLine {
  char m[kDateTextSize + 16];
  DateLine() {
    char szDate[kDateTextSize];
    MakeDateText(szDate);
    snprintf(m, sizeof m, "Date: %s\r\n", szDate);
  }
};

// Sends the first lines both generated 407 replies share (status, date,
// server, MIME version and type), one send each, then the reply's own parts.
int Send407(ConnectionRecord *pRec, const char *const *ppBody, size_t nBodyParts) {
  DateLine date;
  const char *const kHead[] = {"HTTP/1.1 407 Proxy Authentication Required\r\n", date.m, "Server: QUILLON/v1.38\r\n",
                               "MIME-Version: 1.0\r\n", "Content-Type: text/html\r\n"};
  int nHead = SendParts(pRec, kHead, sizeof kHead / sizeof kHead[0]);
  int nBody = SendParts(pRec, ppBody, nBodyParts);
  return nHead < 0 || nBody < 0 ? -1 : 1;
}

}  // namespace

int SendProxyAuthRequired(ConnectionRecord *pRec) {
  const char *const kParts[] = {
      "Content-Length: 79\r\n",
      "Proxy-Connection: close\r\n",
      "Proxy-Authenticate: Basic Realm=\"proxy\"\r\n",
      "\r\n",
      "<HTML><HEAD></HEAD><BODY>\r\n",
      "<B>Proxy Authorization</B> required.</BODY></HTML>\r\n",
  };
  return Send407(pRec, kParts, sizeof kParts / sizeof kParts[0]);
}

int SendUploadRefused(ConnectionRecord *pRec, const char *szFound) {
  // The name is padded to 64 characters so the body is always 146 bytes;
  // a longer name is cut there, or Content-Length would lie.
  char szName[65];
  snprintf(szName, sizeof szName, "%-64.64s", szFound);
  const char *const kParts[] = {
      "Content-Length: 146\r\n",
      "Proxy-Connection: close\r\n",
      "\r\n",
      "<HTML><HEAD><TITLE>POST Fail</TITLE></HEAD><BODY>\r\n",
      "<H1>Found ",
      szName,
      "</H1></BODY></HTML>\r\n",
  };
  return Send407(pRec, kParts, sizeof kParts / sizeof kParts[0]);
}

void RequestScanInit(RequestScan *pScan) {
  HttpReaderInit(&pScan->reader, kHttpRequest, 0);
  pScan->bUpload = 0;
  pScan->mFirstLine[0] = '\0';
  pScan->nLeadingBlank = -1;
}

int RequestLineOfHeader(const RequestScan *pScan, char *pOut, size_t nSize) {
  // As fgets(pOut, nSize) reads the request file: up to and with the first
  // LF, at most nSize - 1 bytes.  The header holds no NUL; empty lines in
  // front of the request line are in the file but not in the header.
  if (pScan->nLeadingBlank != 0 || !HttpReaderHeaderDone(&pScan->reader)) return 0;
  const char *pHeader = pScan->reader.mHeader;
  const void *pLf = memchr(pHeader, '\n', pScan->reader.nHeader);
  size_t nLen = pLf ? static_cast<size_t>(static_cast<const char *>(pLf) - pHeader) + 1 : pScan->reader.nHeader;
  if (nLen > nSize - 1) nLen = nSize - 1;
  memcpy(pOut, pHeader, nLen);
  pOut[nLen] = '\0';
  return 1;
}

int RequestTextOfHeader(const RequestScan *pScan, int64_t nStored, const char **ppText, size_t *pnText) {
  // Empty lines in front of the request line are in the file but not in
  // the header; a body is in the file only.
  if (pScan->nLeadingBlank != 0 || !HttpReaderHeaderDone(&pScan->reader)) return 0;
  std::size_t nHeader = pScan->reader.framing.nHeaderLen;
  if (nStored != static_cast<int64_t>(nHeader)) return 0;
  *ppText = pScan->reader.mHeader;
  *pnText = nHeader;
  return 1;
}

int RequestScanFeed(RequestScan *pScan, const char *pData, size_t nLen, size_t *pnUsed) {
  int bHadHeader = HttpReaderHeaderDone(&pScan->reader);
  if (pScan->nLeadingBlank < 0 && nLen > 0) pScan->nLeadingBlank = pData[0] == '\r' || pData[0] == '\n';
  int nRc = HttpReaderFeed(&pScan->reader, pData, nLen, pnUsed);
  if (!bHadHeader && HttpReaderHeaderDone(&pScan->reader)) {
    const char *pHeader = pScan->reader.mHeader;
    size_t nLine = strcspn(pHeader, "\r\n");
    if (nLine >= sizeof pScan->mFirstLine) nLine = sizeof pScan->mFirstLine - 1;
    memcpy(pScan->mFirstLine, pHeader, nLine);
    pScan->mFirstLine[nLine] = '\0';
    const HttpFraming &f = pScan->reader.framing;
    pScan->bUpload = StartsNoCase(pHeader, "post ") || StartsNoCase(pHeader, "put ") || f.bChunked ||
                     (f.bHaveLength && f.nLength > 0);
  }
  return nRc;
}

int PROXYMain(ConnectionRecord *pRec) {
  if (AcceptClientTls(pRec) != 1) return 1;
  ReverseNameField(pRec->mClientIP.c_str(), &pRec->mClientHost);
  pRec->nRelayProto = -1;
  pRec->nEffProto = static_cast<uint32_t>(-1);

  // Count the connection unless the limit is reached; increments and
  // decrements of all threads must not be lost.
  int nActive = g_nActiveConn.load();
  bool bAdmitted = false;
  while (nActive < g_nMaxConn) {
    if (g_nActiveConn.compare_exchange_weak(nActive, nActive + 1)) {
      bAdmitted = true;
      break;
    }
  }
  if (!bAdmitted) {
    DebugLogF("[AcceptClients] [%04d] Request exceeded. (Connection limit = %d)\n", pRec->nSock, g_nMaxConn);
    MetricCount(kMetRefusedLimit);
    if (pRec->pClientCtx) PlatTlsRelease(pRec->pClientSSL);
    pRec->pClientCtx = pRec->pClientSSL = nullptr;
    CloseClient(pRec);
    return 1;
  }

  pRec->bPassThrough = 0;
  DebugLogF("[AcceptClients] [%08x] START [%04d]\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(pRec)),
            pRec->nSock);
  pRec->mReqFile.Format("%s%s/req-%d-%04d.dat", g_szDataDir.c_str(), "cache", g_nProxyMode, pRec->nSock);

  // The HTTP loop keeps the request file for the next client on this
  // socket; every other way deletes it.
  int bKept = 0;
  if (g_nProxyMode == kModeHttp) {
    RunHttpLoop(pRec);
    bKept = 1;
  } else if (g_nProxyMode >= kModeSmtp && g_nProxyMode <= kModeFtp) {
    // SMTP, POP3, IMAP4 and FTP: the relay to the upstream server of -S.
    memset(pRec->mRecv, 0, kRecvChunk + 1);
    TelnetDispatch(pRec);
  } else if (g_nProxyMode == kModeSocks) {
    // SOCKS: the negotiation serves BIND and UDP ASSOCIATE itself; a
    // CONNECT goes on as HTTP requests or through the relay.
    int nNext = SocksNegotiate(pRec);
    if (nNext == kSocksNextHttp) {
      if (SocksHttpStart(pRec) == 1) {
        RunHttpLoop(pRec);
        bKept = 1;
      }
    } else if (nNext == kSocksNextRelay) {
      TelnetDispatch(pRec);
    }
  }
  if (!bKept) PlatSpoolDelete(pRec->mReqFile.c_str(), kDeleteAttempts);

  g_nActiveConn.fetch_sub(1);
  if (pRec->pClientCtx) PlatTlsRelease(pRec->pClientSSL);
  pRec->pClientCtx = pRec->pClientSSL = nullptr;
  CloseClient(pRec);
  return 1;
}

void PROXYMainThread(void *pArg) { PROXYMain(static_cast<ConnectionRecord *>(pArg)); }

void CloseClient(ConnectionRecord *pRec) {
  if (!pRec) return;
  int nLogSock = pRec->nSock != 0 ? pRec->nSock : -1;
  DebugLogF("[CloseClient] [%04d] start.\n", nLogSock);
  if ((g_nProxyMode == kModeSmtp || pRec->nRelayProto == 1) && !pRec->mMailFile.Empty()) {
    PathText path;
    if (g_bMailBackup) {
      if (MailBackupPath(&path, pRec->mMailFile.c_str(), ".$CP")) PlatDeleteRetry(path.c_str(), kDeleteAttempts);
    }
    if (MailCachePath(&path, pRec->mMailFile.c_str())) PlatDeleteRetry(path.c_str(), kDeleteAttempts);
  }
  if (pRec->nSock != 0) {
    // Shutdown then close: the kernel still delivers what is queued, so the
    // end of an answer is never thrown away by a reset.
    PlatShutdownClose(pRec->nSock);
    DebugLogF("[CloseClient] [%04d] Close Client socket.\n", pRec->nSock);
    pRec->nSock = 0;
  }
  // pAddrInfo: the listener frees its resolver results before the thread
  // starts, so nothing is held here.
  pRec->pAddrInfo = nullptr;
  pRec->bPassThrough = 0;
  pRec->mRecv[0] = '\0';
  FreeConnectionRecord(pRec);
  DebugLogF("[CloseClient] [%04d] end.\n", nLogSock);
}
