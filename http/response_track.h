// Finds the end of an HTTP response while its pieces arrive, without
// re-reading what came before: the header is scanned line by line as it
// grows, then the body is counted against "content-length:", followed
// through its chunks when it is chunked, or read until the server closes.
#ifndef PROXY_HTTP_RESPONSE_TRACK_H_
#define PROXY_HTTP_RESPONSE_TRACK_H_

#include <cstddef>
#include <cstdint>

struct ResponseTracker {
  int bHeaderPending;          // the empty line has not arrived yet
  int bNotModified;            // status 304
  int bNoBody;                 // HEAD answer, 1xx, 204, 304: ends with the header
  int bLengthKnown;            // "content-length: " seen and header complete
  int bChunked;                // "transfer-encoding: ... chunked"
  int bServerClose;            // HTTP/1.0 or "connection: close": no reuse
  int bComplete;               // the response is whole
  int nStatus;
  uint64_t nReceived;          // all bytes so far
  uint64_t nHeaderLen;         // bytes up to and including the empty line
  uint64_t nExpected;          // header length plus content length
  uint64_t nContentLength;
  int bHaveLength;
  // Header line being assembled (first bytes only; the length counts all).
  char mLine[256];
  std::size_t nLineLen;
  int nLineNo;
  // Chunked body.
  int nChunkState;
  uint64_t nChunkLeft;
  int bChunkDigits;
  std::size_t nTrailerLineLen;
};

// bHeadRequest: the answer of a HEAD request has no body.
void TrackerInit(ResponseTracker *pT, int bHeadRequest);

// Feeds the next piece.  Returns 1 when the response is complete.
int TrackerFeed(ResponseTracker *pT, const char *pData, std::size_t nLen);

#endif  // PROXY_HTTP_RESPONSE_TRACK_H_
