// The HTTP proxy handlers behind Proxy_Dispatch, and the steps they share.
#ifndef PROXY_HTTP_HANDLERS_H_
#define PROXY_HTTP_HANDLERS_H_

#include <cstddef>
#include <cstdio>

#include "base/limits.h"

struct ConnectionRecord;
struct ConnectResult;
struct RequestTarget;

// GET: ftp fetch, cache answer, or forward with inspection.  Returns 0, or
// -1 when the answer file of an ftp fetch cannot be created.
int GetDispatch(ConnectionRecord *pRec);
// Every other method of at most 20 characters.  Returns 0.
int OtherDispatch(ConnectionRecord *pRec);
// CONNECT tunnels.  Returns 0.
int ConnectDispatch(ConnectionRecord *pRec);

// Result of the shared first step of GetDispatch and OtherDispatch.
struct AnalyzedRequest {
  int bWhite;                       // white-listed: passed on, neither scanned nor cached
  char szSpool[kSpoolPathSize];     // response spool file R
  char szHost[256];                 // the host as the client asked for it
};

// Request target analysis, list decision, spool name, host and port.
// Returns 1 to go on, 0 when the handler ends here (no version, refused,
// black-listed; the first byte of mLine is then cleared).
int AnalyzeRequest(ConnectionRecord *pRec, int nHandler, RequestTarget *pTarget, AnalyzedRequest *pReq);

// Opens the server connection for a request, reusing the kept one when the
// previous exchange left it open for the same host (nPrevKeepAlive).
// Closes a kept connection that is not reused.  *pResult tells whether the
// kept one was reused and whether the server is an upstream proxy.
// Returns the socket or -1.
int OpenServer(ConnectionRecord *pRec, const char *szHost, int nPort, int nPrevKeepAlive, ConnectResult *pResult);

// Closes the record's server connection when one is open.
void CloseServer(ConnectionRecord *pRec);

// Sends the rest of an open file to the client in pieces of up to 16,385
// bytes with "[TAG] [%04d] C:send:%d bytes" lines; a failed send logs
// "[TAG] [%04d] <szFailText>WSAGetLastError() = %d" and stops.  Returns 1,
// or -1 when a send failed.
int SendFileToClient(ConnectionRecord *pRec, FILE *pFile, const char *szTag, const char *szFailText);

#endif  // PROXY_HTTP_HANDLERS_H_
