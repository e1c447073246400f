// Entry of the HTTP handlers: one authenticated request, collected in the
// connection's request spool file (pRec->mReqFile), is answered here.
#ifndef PROXY_HTTP_PROXY_DISPATCH_H_
#define PROXY_HTTP_PROXY_DISPATCH_H_

#include "net/connection_record.h"

// Answers the request in pRec->mReqFile on the client socket pRec->nSock
// (through the TLS wrappers with pRec->pClientSSL), writes the access-log
// line, and leaves pRec->bKeepAlive at 1 when the client connection may
// serve another request.  Returns 1 when answered, -1 on failure.
int Proxy_Dispatch(ConnectionRecord *pRec);

#endif  // PROXY_HTTP_PROXY_DISPATCH_H_
