// Walks a spooled HTTP response the way a reader of the page sees it: the
// header as it stands, then the body with the chunked transfer coding
// removed and a gzip or deflate content coding decoded.  Only
// http_content.cpp sees zlib.
#ifndef PROXY_SERVICES_CWFS_HTTP_CONTENT_H_
#define PROXY_SERVICES_CWFS_HTTP_CONTENT_H_

#include <cstddef>
#include <cstdint>

#include "base/fixed_text.h"

enum ContentPart { kPartHeader = 0, kPartBody = 1 };

// Receives the content piece by piece: the whole header once (kPartHeader),
// then body pieces (kPartBody) in order.  Returns 1 to stop the walk (a word
// was found), 0 to go on.
using ContentSink = int (*)(int nPart, const char *pData, std::size_t nLen, void *pCtx);

struct ContentReport {
  int bHttp;                 // began with an HTTP status line
  int bChunked;              // the body was chunked
  FixedText<64> mEncoding;   // content coding decoded ("gzip", "deflate"), else empty
  uint64_t nBodyBytes;       // body bytes handed to the sink
  FixedText<160> mProblem;   // what was wrong or left undecoded; empty when nothing
};

// Walks pData.  A file that does not begin with "HTTP/" is handed over whole
// as body, undecoded.  Decoding stops after nMaxDecoded body bytes (a
// compressed body can expand a thousandfold).
// Returns 1 walked to the end, 0 stopped by the sink, -1 the content is
// malformed or too large (what could be decoded before the fault was handed
// over; pReport->mProblem says what went wrong).
int WalkHttpContent(const char *pData, std::size_t nLen, uint64_t nMaxDecoded, ContentSink pfnSink, void *pCtx,
                    ContentReport *pReport);

#endif  // PROXY_SERVICES_CWFS_HTTP_CONTENT_H_
