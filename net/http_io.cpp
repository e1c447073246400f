#include "net/http_io.h"

#include <cstdarg>
#include <cstdio>

#include "core/settings.h"
#include "core/metrics.h"
#include "core/date_text.h"
#include "core/spool_file.h"
#include "net/connection_record.h"
#include "platform/plat_file.h"
#include "platform/plat_socket.h"
#include "platform/plat_tls.h"

namespace {

int ClampSize(std::size_t n) { return n > (1u << 30) ? (1 << 30) : static_cast<int>(n); }

}  // namespace

int HttpSendClientSock(int nSock, void *pSSL, const void *pData, std::size_t nLen) {
  if (nLen == 0) return 0;
  int n = SslSendBytes(nSock, pSSL, pData, ClampSize(nLen));
  MetricBytes(kMetBytesToClient, n);
  return n;
}

int HttpRecvClientSock(int nSock, void *pSSL, char *pBuf, std::size_t nSize) {
  int n = SslRecv(nSock, pSSL, pBuf, ClampSize(nSize), g_nTmoClient);
  MetricBytes(kMetBytesFromClient, n);
  return n;
}

int HttpSendClient(ConnectionRecord *pRec, const void *pData, std::size_t nLen) {
  return HttpSendClientSock(pRec->nSock, pRec->pClientSSL, pData, nLen);
}

int HttpSendStatusClose(ConnectionRecord *pRec, int nStatus, const char *szReason) {
  pRec->bKeepAlive = 0;
  char szDate[kDateTextSize];
  MakeDateText(szDate);
  char szBody[256];
  int nBody = snprintf(szBody, sizeof szBody, "<HTML><HEAD></HEAD><BODY>\r\n<B>%d %s</B></BODY></HTML>\r\n", nStatus,
                       szReason);
  char szAnswer[640];
  int n = snprintf(szAnswer, sizeof szAnswer,
                   "HTTP/1.1 %d %s\r\nDate: %s\r\nServer: QUILLON/v1.38\r\nContent-Type: text/html\r\n"
                   "Content-Length: %d\r\nConnection: close\r\n\r\n%s",
                   nStatus, szReason, szDate, nBody, szBody);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof szAnswer) return -1;
  return HttpSendClient(pRec, szAnswer, static_cast<std::size_t>(n));
}

int HttpRecvClient(ConnectionRecord *pRec, char *pBuf, std::size_t nSize) {
  return HttpRecvClientSock(pRec->nSock, pRec->pClientSSL, pBuf, nSize);
}

int HttpSendServer(int nSvSock, const void *pData, std::size_t nLen) {
  if (nLen == 0) return 0;
  int n = PlatSend(nSvSock, pData, ClampSize(nLen));
  MetricBytes(kMetBytesToServer, n);
  return n;
}

int HttpRecvServer(int nSvSock, char *pBuf, std::size_t nSize) {
  int n = PlatRecv(nSvSock, pBuf, ClampSize(nSize), g_nTmoServer);
  MetricBytes(kMetBytesFromServer, n);
  return n;
}

FILE *OpenRequestFile(const ConnectionRecord *pRec) {
  if (pRec->pReqText != nullptr) {
    FILE *pIn = PlatMemoryFile(pRec->pReqText, pRec->nReqText);
    if (pIn != nullptr) return pIn;
  }
  return OpenSpool(pRec->mReqFile.c_str(), "rb");
}

void HttpNoDelay(int nSock) {
  if (nSock >= 0) PlatSetNoDelay(nSock);
}

int HttpReadable(int nSock, int nTimeoutMs) { return PlatWaitReadable(nSock, nTimeoutMs) == 1; }

void HttpShutdownSendClientSock(int nSock, void *pSSL) {
  if (nSock >= 0) SslShutdownSend(nSock, pSSL);
}

void HttpShutdownSendServer(int nSvSock) { PlatShutdownSend(nSvSock); }

void HttpShutdownReceive(int nSock) { PlatShutdownReceive(nSock); }

void HttpCloseSocket(int nSock) {
  if (nSock >= 0) PlatShutdownClose(nSock);
}

void HttpCloseSocketShutdownOnly(int nSock) {
  if (nSock >= 0) PlatShutdown(nSock);
}

int HttpLastError() { return PlatLastError(); }

void ConsoleF(const char *szFmt, ...) {
  va_list ap;
  va_start(ap, szFmt);
  vfprintf(stdout, szFmt, ap);
  va_end(ap);
  fflush(stdout);
}
