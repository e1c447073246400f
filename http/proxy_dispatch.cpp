// Placeholder until the HTTP handlers exist: every authenticated request is
// answered "501 Not Implemented" and the connection closes.  The HTTP
// handlers replace this file with the real dispatch by method.
#include "http/proxy_dispatch.h"

#include "core/log.h"
#include "platform/plat_tls.h"

int Proxy_Dispatch(ConnectionRecord *pRec) {
  static const char kReply[] =
      "HTTP/1.1 501 Not Implemented\r\n"
      "Content-Type: text/plain\r\n"
      "Content-Length: 16\r\n"
      "Proxy-Connection: close\r\n"
      "\r\n"
      "Not implemented\n";
  pRec->bKeepAlive = 0;
  pRec->nLogStatus = 501;
  int n = SslSend(pRec->nSock, pRec->pClientSSL, kReply);
  pRec->nLogBytes = n > 0 ? static_cast<uint32_t>(n) : 0;
  return n > 0 ? 1 : -1;
}
