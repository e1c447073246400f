// Placeholder until the HTTP handlers exist; the HTTP handlers replace this
// file with the real dispatch by method.
//
// It opens the server connection of an absolute "http://host[:port]/"
// request target through ConnectHost (so the outbound path, the connect
// table and its log lines work end to end), closes it again, and answers
// "502 Bad Gateway" when the server could not be reached, otherwise
// "501 Not Implemented".  Nothing is forwarded.  The connection closes after
// the answer.
#include "http/proxy_dispatch.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "front/outbound.h"
#include "platform/plat_socket.h"
#include "platform/plat_tls.h"

namespace {

// Host and port of "METHOD http://host[:port]/... VERSION" in szLine.
// 1 found, 0 not an absolute http target (or the host does not fit).
int TargetOf(const char *szLine, char *pHost, size_t nHost, int *pPort) {
  const char *p = strchr(szLine, ' ');
  if (!p || strncasecmp(p + 1, "http://", 7) != 0) return 0;
  p += 8;
  size_t nLen = strcspn(p, ":/ \r\n");
  if (nLen == 0 || nLen >= nHost) return 0;
  memcpy(pHost, p, nLen);
  pHost[nLen] = '\0';
  *pPort = p[nLen] == ':' ? atoi(p + nLen + 1) : 80;
  return *pPort > 0 && *pPort < 65536;
}

}  // namespace

int Proxy_Dispatch(ConnectionRecord *pRec) {
  static const char kNotImplemented[] =
      "HTTP/1.1 501 Not Implemented\r\n"
      "Content-Type: text/plain\r\n"
      "Content-Length: 16\r\n"
      "Proxy-Connection: close\r\n"
      "\r\n"
      "Not implemented\n";
  static const char kBadGateway[] =
      "HTTP/1.1 502 Bad Gateway\r\n"
      "Content-Type: text/plain\r\n"
      "Content-Length: 12\r\n"
      "Proxy-Connection: close\r\n"
      "\r\n"
      "Bad gateway\n";
  const char *szReply = kNotImplemented;
  pRec->nLogStatus = 501;
  char szHost[256];
  int nPort = 0;
  // PROXYMain leaves the request line in mRecv.
  if (TargetOf(pRec->mRecv, szHost, sizeof szHost, &nPort)) {
    int s = ConnectHost(pRec, szHost, nPort);
    if (s < 0) {
      szReply = kBadGateway;
      pRec->nLogStatus = 502;
    } else {
      PlatShutdownClose(s);
    }
  }
  pRec->bKeepAlive = 0;
  int n = SslSend(pRec->nSock, pRec->pClientSSL, szReply);
  pRec->nLogBytes = n > 0 ? static_cast<uint32_t>(n) : 0;
  return n > 0 ? 1 : -1;
}
