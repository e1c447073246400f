// HTTP/1.1 message framing (RFC 9112 sections 6 and 7) over byte buffers:
// where a header ends, what it says about the body (length, chunked,
// read-until-close), the chunked transfer coding, and a reader that follows
// one whole message while its pieces arrive.  The one parser of requests
// (connection thread), responses (handlers) and spooled responses
// (inspection services).
#ifndef PROXY_HTTP_HTTP_FRAMING_H_
#define PROXY_HTTP_HTTP_FRAMING_H_

#include <cstddef>
#include <cstdint>

// Longest header block accepted (request or response, CR LF included).
constexpr std::size_t kHttpHeaderMax = 65536;

enum HttpMessageKind { kHttpRequest = 0, kHttpResponse = 1 };

// Content codings the body decoder knows.
enum HttpCoding { kCodingNone = 0, kCodingGzip = 1, kCodingDeflate = 2, kCodingOther = 3 };

// What a header says about its message.
struct HttpFraming {
  int nStatus;              // response status code (0 for requests)
  int bChunked;             // the body is chunked (last transfer coding)
  int bHaveLength;          // Content-Length applies
  uint64_t nLength;         // its value
  int bUntilClose;          // response body ends when the server closes
  int bNoBody;              // 1xx, 204, 304, answer to HEAD: header only
  int bClose;               // HTTP/1.0 or "Connection: close": no reuse
  int bHttp10;              // the start line says HTTP/1.0
  int nCodings;             // content and transfer codings other than chunked
  int nCoding;              // HttpCoding of the one coding to undo
  std::size_t nHeaderLen;   // bytes of the header block, empty line included
  int nError;               // status to answer a refused message with
};

// Length of the header block at p (through its empty line; lines end in
// LF, optionally after CR), or 0 when the empty line is not within n bytes.
// nFrom: the search starts there (REQUIRES: no line end before it can begin
// the empty line, i.e. the first nFrom + 2 bytes held no end).
std::size_t HttpHeaderEnd(const char *p, std::size_t n, std::size_t nFrom = 0);

// Reads a complete header block (nLen from HttpHeaderEnd).  bHeadRequest:
// the answer of a HEAD request has no body.  Returns 1, or -1 when the
// message must be refused; pOut->nError then holds 400 (request) or 502
// (response).  Requests are refused for: Content-Length together with
// Transfer-Encoding; Content-Length values that differ or are not plain
// digits; a Transfer-Encoding whose last coding is not chunked or that names
// an unknown coding; obs-fold lines; a bare CR or a NUL; a field line
// without a colon or with blanks before it.  Responses are refused for
// differing or malformed Content-Length values; chunked wins over a length.
int HttpParseHeader(const char *p, std::size_t nLen, int nKind, int bHeadRequest, HttpFraming *pOut);

// The chunked transfer coding, followed byte by byte.
enum ChunkError {
  kChunkOk = 0,
  kChunkBadSize = 1,     // a size that is not plain hexadecimal
  kChunkTooLarge = 2,    // a size past 2^60
  kChunkNoCrlf = 3,      // chunk data not followed by its line end
  kChunkBadLine = 4,     // a bare CR or NUL in a size or trailer line
};
struct ChunkParser {
  int nState;
  uint64_t nLeft;        // data bytes left in the current chunk
  int nDigits;           // significant digits of the size read so far
  int bAnyDigit;         // the size line had a digit
  int bCr;               // a CR was just read (must be followed by LF)
  std::size_t nLine;     // characters of the current trailer line
  int nError;            // ChunkError
};
void ChunkInit(ChunkParser *pC);
// Receives chunk data; returns 1 to stop the walk.
using ChunkDataFn = int (*)(const char *p, std::size_t n, void *pCtx);
// Walks n bytes of chunked body.  *pnUsed receives the bytes consumed.
// Returns 1 when the last chunk and its trailer section are complete, 0
// when more is needed, 2 when the data callback stopped the walk, -1 on bad
// syntax (pC->nError says which).
int ChunkFeed(ChunkParser *pC, const char *p, std::size_t n, std::size_t *pnUsed, ChunkDataFn pfnData, void *pCtx);
// What is missing when the input ended before the last chunk.
const char *ChunkEndProblem(const ChunkParser *pC);
const char *ChunkErrorText(int nError);

// Follows one whole message as its pieces arrive.  The header is kept (at
// most kHttpHeaderMax bytes) until it is complete.
struct HttpReader {
  int nKind;
  int bHeadRequest;
  int nState;             // header, body by length, chunked, until close, done, failed
  std::size_t nHeader;
  HttpFraming framing;
  uint64_t nLeft;         // body bytes left (length framing)
  uint64_t nReceived;     // all bytes of the message so far
  uint64_t nHeaderTotal;  // header bytes, interim answers included
  ChunkParser chunk;
  int nError;             // 400, 431 or 502 when failed
  char mHeader[kHttpHeaderMax];
};
void HttpReaderInit(HttpReader *pR, int nKind, int bHeadRequest);
// Feeds a piece.  *pnUsed receives how many of its bytes belong to the
// message (the rest begins the next message).  Returns 1 when the message
// is complete, 0 when more is needed, -1 when it must be refused.
int HttpReaderFeed(HttpReader *pR, const char *p, std::size_t n, std::size_t *pnUsed);
// 1 once the header has been read.
int HttpReaderHeaderDone(const HttpReader *pR);
// 1 when the message is complete.
int HttpReaderComplete(const HttpReader *pR);

#endif  // PROXY_HTTP_HTTP_FRAMING_H_
