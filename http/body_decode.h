// The body of an HTTP message as its reader uses it: the chunked transfer
// coding removed and a gzip or deflate coding undone, with a bound on the
// decoded size (a compressed body can expand a thousandfold).  Shared by the
// proxy's inspection path and the inspection services.  Only
// body_decode.cpp sees zlib.
#ifndef PROXY_HTTP_BODY_DECODE_H_
#define PROXY_HTTP_BODY_DECODE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/fixed_text.h"
#include "http/http_framing.h"

// Largest decoded body handed on; what lies past it is not decoded.
constexpr uint64_t kBodyDecodeMax = 256ull << 20;

// Receives decoded body bytes; returns 1 to stop.
using BodySink = int (*)(const char *p, std::size_t n, void *pCtx);

struct BodyDecoder {
  int nCoding;              // HttpCoding undone (kCodingNone: passed as is)
  int bChunked;
  BodySink pfnSink;
  void *pCtx;
  uint64_t nMax;
  uint64_t nBodyBytes;      // decoded bytes handed to the sink
  ChunkParser chunk;
  int bChunkDone;           // the last chunk arrived
  void *pZ;                 // inflate state once started
  unsigned char *pOut;
  int bEnded;               // a complete compressed stream was seen
  unsigned char head[2];    // first bytes of a deflate body (zlib or raw)
  int nHead;
  int bStopped;             // the sink asked to stop
  int bFailed;              // a fault; mProblem says which
  FixedText<160> mProblem;  // what was wrong or left undecoded
};

// nCoding: kCodingOther (or several codings) leaves the body coded as it
// stands and says so in mProblem.
void BodyDecodeStart(BodyDecoder *pD, int bChunked, int nCoding, uint64_t nMax, BodySink pfnSink, void *pCtx);
// Returns 1 go on, 0 stopped by the sink, -1 fault (mProblem set).
int BodyDecodeFeed(BodyDecoder *pD, const char *p, std::size_t n);
// Ends the body (releases the decoder).  Returns 1, or -1 when it was cut
// short or faulty.
int BodyDecodeFinish(BodyDecoder *pD);

// The result of a write into a spool file that could not take the whole
// content (a full disk): what the file holds is cut short.
constexpr int kSpoolFull = -2;

// Writes the decoded body of the message in szMessage (a whole spooled
// request or response) to szBody.  Returns 1 when the body was decoded,
// 0 when it needed no decoding (szBody untouched), -1 when a file could not
// be handled, kSpoolFull when szBody could not take the whole decoded body
// (what it holds must not be taken for the body).
// A faulty or oversized body is written as far as it decodes.
int DecodeMessageBodyFile(const char *szMessage, int nKind, const char *szBody);

#endif  // PROXY_HTTP_BODY_DECODE_H_
