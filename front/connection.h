// The connection thread: connection limit, the HTTP request loop with its
// spool file, upload scan and proxy authentication, and the closing of a
// client connection.
#ifndef PROXY_FRONT_CONNECTION_H_
#define PROXY_FRONT_CONNECTION_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "front/connection_record.h"

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

// A zero-filled record from the heap, or nullptr.  Release with CloseClient
// (or FreeConnectionRecord when no socket was ever stored in it).
ConnectionRecord *AllocConnectionRecord();
void FreeConnectionRecord(ConnectionRecord *pRec);

// Date text of generated replies: local standard time (daylight saving
// taken out) as "Sun, 06 Dec 2026 09:05:01 +0900", or "... GMT" when the
// standard offset is 0.  pOut holds at least kDateTextSize bytes.
constexpr std::size_t kDateTextSize = 64;
void MakeDateText(char *pOut);
// The same for a given time (seconds since the epoch); for tests.
void MakeDateTextAt(int64_t nTime, char *pOut);

// 1 when the Basic credentials in pRec->mLine (after its first 27
// characters, "Proxy-Authorization: Basic ") equal the Base64 form of an
// auth-list entry; else 0 (also when the list is missing).
int ComperTokenB64(ConnectionRecord *pRec);

// 1 when szCredentials ("user:password") equals an auth-list entry byte for
// byte; else 0.  nSock appears in the success log line.
int ComperToken(int nSock, const char *szCredentials);

// Sends the 407 "Proxy Authentication Required" reply (eleven sends).
// Returns 1 when every part was sent, -1 otherwise.
int SendProxyAuthRequired(ConnectionRecord *pRec);

// Sends the upload-refused page naming what the scan found (twelve sends).
// Returns 1 when every part was sent, -1 otherwise.
int SendUploadRefused(ConnectionRecord *pRec, const char *szFound);

// Completeness of a request as it arrives: feed each received block in
// order.  The first line marks an upload when it begins (any case) with
// "post " or "put "; "content-length: " lines set the body length; the
// first empty line ends the header.  A request without upload is complete
// there; an upload when its body has arrived: Content-Length bytes, or with
// "Transfer-Encoding: chunked" the last chunk and its trailer.
struct RequestScan {
  int nState;             // 0 request line, 1 header, 2 body, 3 complete
  int bUpload;
  int bChunked;
  int64_t nExpected;      // Content-Length (0 when absent)
  int64_t nBody;          // body bytes counted so far
  int nChunkState;        // chunked body: where in the chunk grammar
  int64_t nChunkLeft;     // data bytes left in the current chunk
  int nLineLen;           // characters of the current line kept
  int bLineCr;            // the current line ended with CR so far
  char mLine[4096];       // start of the current line (first 4,095 chars)
  char mFirstLine[4096];  // the request line without CR LF
};
void RequestScanInit(RequestScan *pScan);
// Returns 1 when the request is complete (bytes after that are ignored).
int RequestScanFeed(RequestScan *pScan, const char *pData, std::size_t nLen);

#endif  // PROXY_FRONT_CONNECTION_H_
