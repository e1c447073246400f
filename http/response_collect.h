// One server exchange of GetDispatch and OtherDispatch: the request goes
// out, the response is collected in the response spool file until its own
// framing says it is complete (or the server closes, or a receive fails),
// and a kept server connection that gave no answer is replaced once.
#ifndef PROXY_HTTP_RESPONSE_COLLECT_H_
#define PROXY_HTTP_RESPONSE_COLLECT_H_

#include <cstddef>
#include <cstdio>

#include "http/response_track.h"

struct ConnectionRecord;

// What the handler does differently, and the results.
struct ServerExchange {
  // Filled by the caller.
  const char *szTag;      // log tag: "GetDispatch" or "OtherDispatch"
  const char *szRecvEnd;  // text between "bytes." and the line end of the receive line
  const char *szSpool;    // response spool file R (created empty for each try)
  int nSpoolSlot;         // slot whose kept file the spool may take over (-1 none)
  const char *szHost;     // host and port asked for: a connection anew goes there
  int nPort;
  int bHead;              // HEAD: the answer ends with its header
  int bReused;            // the socket is the kept connection of the previous exchange
  void *pCtx;             // handed to the two hooks
  // Sends the request on nSv (it may set bKeepAlive).  Returns 1, or -1
  // when the send failed and receiving is to end after the first piece.
  int (*fnSend)(void *pCtx, ConnectionRecord *pRec, int nSv);
  // May be null.  Sees each piece once it is in pSpool (buffered: flush
  // before reading the file back) and in the tracker.  Returns 1 to go on,
  // 0 to end receiving, -1 when the spool file could not take the response.
  int (*fnPiece)(void *pCtx, ConnectionRecord *pRec, FILE *pSpool, const char *pPiece, std::size_t nPiece,
                 const ResponseTracker *pTrack);
  // Results of the last try.
  ResponseTracker track;
  int bGotData;           // at least one byte arrived
  int bStoreFailed;       // the spool file did not take all of it
};

// Sets the fields every exchange gives and empties the others (hooks, HEAD,
// results) but the tracker, which each try sets up itself.
// (Value-initialising the record instead would clear the tracker's 64 KiB
// header buffer for every request.)
void ServerExchangeInit(ServerExchange *pEx, const char *szTag, const char *szRecvEnd, const char *szSpool,
                        const char *szHost, int nPort, int bReused);

// Clears bKeepAlive, sends the request on *pnSv and receives the response
// into szSpool in pieces of up to 16,384 bytes (written in 64 KiB blocks),
// with the lines "[TAG] [%04d] S:recv(%04d):%d bytes.<szRecvEnd>\n" and, on
// a receive error, "[TAG] [%04d] S:recv(%04d):-1 bytes. / WSAGetLastError()
// = %d\n".  The first piece gives nLogStatus; every piece counts in
// nLogBytes.  Receiving ends with the complete response, bad framing, the
// server's close, a receive error (the server's receive time-out at the
// latest), a store failure, or a hook's stop.  When a reused connection
// gave no byte (the server closed it while idle), the exchange runs once
// more on a connection anew, stored in nSvSock; when that cannot be
// opened ("[TAG] [%04d] connect fail.\n") *pnSv becomes -1 and bKeepAlive
// is cleared.  REQUIRES: nSvSock == *pnSv.
void RunServerExchange(ConnectionRecord *pRec, int *pnSv, ServerExchange *pEx);

#endif  // PROXY_HTTP_RESPONSE_COLLECT_H_
