// The connection thread: connection limit, the HTTP request loop with its
// spool file, upload scan and proxy authentication, and the closing of a
// client connection.
#ifndef PROXY_FRONT_CONNECTION_H_
#define PROXY_FRONT_CONNECTION_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/date_text.h"
#include "net/connection_alloc.h"
#include "net/connection_record.h"
#include "net/proxy_auth.h"
#include "http/http_framing.h"

// Connections currently inside PROXYMain (compared with -C).
extern std::atomic<int> g_nActiveConn;

// Body of the thread the listener starts for an admitted client.  Owns the
// record from its start and frees it (CloseClient) before it returns.
// Returns 1.
int PROXYMain(ConnectionRecord *pRec);

// Thread entry for the platform's thread start: calls PROXYMain(pArg).
void PROXYMainThread(void *pArg);

// Closes the client socket (shutdown in both directions, then close, so the
// tail of an answer still reaches the client), frees a held pAddrInfo,
// deletes the mail spool copies in SMTP mode, and frees the record.  A
// record whose nSock is 0 only gets freed.  The record must have been
// allocated by AllocConnectionRecord.
void CloseClient(ConnectionRecord *pRec);

// Sends the 407 "Proxy Authentication Required" reply (eleven sends).
// Returns 1 when every part was sent, -1 otherwise.
int SendProxyAuthRequired(ConnectionRecord *pRec);

// Sends the upload-refused page naming what the scan found (twelve sends).
// Returns 1 when every part was sent, -1 otherwise.
int SendUploadRefused(ConnectionRecord *pRec, const char *szFound);

// Framing of a request as it arrives (RFC 9112 sections 6 and 7): feed
// each received block in order.  A request is its header plus exactly the
// body its framing gives (Content-Length, or the chunks up to the last one
// and its trailer); what follows is the next request.  The first line marks
// an upload when it begins (any case) with "post " or "put ", or when the
// request has a body.
struct RequestScan {
  HttpReader reader;
  int bUpload;
  char mFirstLine[4096];  // the request line without CR LF
  int nLeadingBlank;      // 1 the request began with an empty line, -1 nothing fed yet
};
void RequestScanInit(RequestScan *pScan);
// Copies the request line of a complete header as fgets(pOut, nSize) reads
// it from the request file: with its line end, cut at nSize - 1 bytes.
// Returns 1, or 0 when the header cannot give it (not complete, or empty
// lines came before the request line).
int RequestLineOfHeader(const RequestScan *pScan, char *pOut, std::size_t nSize);
// The whole request file in memory: when the nStored bytes the file holds
// are the scanner's header (a request without a body, no empty line in
// front), *ppText and *pnText point at them and 1 is returned; else 0.
int RequestTextOfHeader(const RequestScan *pScan, int64_t nStored, const char **ppText, std::size_t *pnText);
// *pnUsed receives how many bytes of the block belong to this request.
// Returns 1 when the request is complete, 0 when more is needed, -1 when it
// is refused (pScan->reader.nError: 400, or 431 for an oversized header).
int RequestScanFeed(RequestScan *pScan, const char *pData, std::size_t nLen, std::size_t *pnUsed);

#endif  // PROXY_FRONT_CONNECTION_H_
