// Finds the end of an HTTP response while its pieces arrive, without
// re-reading what came before, through the one message reader of
// http_framing: the body is counted against Content-Length, followed
// through its chunks when it is chunked (chunked wins over a length), or
// read until the server closes.
#ifndef PROXY_HTTP_RESPONSE_TRACK_H_
#define PROXY_HTTP_RESPONSE_TRACK_H_

#include <cstddef>
#include <cstdint>

#include "http/http_framing.h"

struct ResponseTracker {
  int bHeaderPending;          // the empty line has not arrived yet
  int bNotModified;            // status 304
  int bNoBody;                 // HEAD answer, 1xx, 204, 304: ends with the header
  int bLengthKnown;            // Content-Length applies and the header is complete
  int bChunked;                // the body is chunked
  int bServerClose;            // HTTP/1.0 or "connection: close": no reuse
  int bComplete;               // the response is whole
  int bBad;                    // framing the proxy cannot follow: answered with 502
  int nStatus;
  uint64_t nReceived;          // all bytes so far
  uint64_t nHeaderLen;         // bytes up to and including the empty line
  uint64_t nExpected;          // header length plus content length
  HttpReader reader;
};

// bHeadRequest: the answer of a HEAD request has no body.
void TrackerInit(ResponseTracker *pT, int bHeadRequest);

// Feeds the next piece.  Returns 1 when the response is complete, -1 when
// its framing is bad (differing Content-Length values, bad chunk syntax),
// else 0.
int TrackerFeed(ResponseTracker *pT, const char *pData, std::size_t nLen);

// 1 when a response that has begun was cut short: it stopped before the end
// its own framing gives (a response read until the close is never short).
int TrackerCutShort(const ResponseTracker *pT);

#endif  // PROXY_HTTP_RESPONSE_TRACK_H_
