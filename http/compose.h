// The request as it goes to the server: the request line in origin form for
// a direct request (unchanged for an upstream proxy), the identification
// lines of -U, and the header with Via, upgrade, proxy-connection and
// accept-encoding rules.  Shared by the GET and other-method handlers.
#ifndef PROXY_HTTP_COMPOSE_H_
#define PROXY_HTTP_COMPOSE_H_

#include <cstddef>
#include <cstdio>

struct ConnectionRecord;
struct RequestTarget;

// Where composed text goes: a file, a memory buffer, or the server socket.
struct RequestSink {
  FILE *pFile;           // non-null: written here
  char *pBuf;            // else non-null: kept here (cut at nCap)
  std::size_t nLen, nCap;
  int nSvSock;           // else: each piece is sent at once
  const char *szTag;     // handler name for the "S:send" lines
  int nClientSock;
  int bFailed;           // a write or send failed
};

// Writes nLen bytes to the sink.  Returns 1, or 0 once it failed.
int SinkWrite(RequestSink *pSink, const char *p, std::size_t nLen);

struct ComposeInput {
  const RequestTarget *pTarget;
  int bUpstream;          // the server is an upstream proxy: absolute form stays
  int bAlwaysDropEncoding;  // other methods drop accept-encoding for upstreams too
};

// Reads the request line and header from pIn (at its start) and writes the
// rewritten request line, the added lines and the header, up to and
// including the empty line, to the sink.  May set pRec->bKeepAlive.
// Leaves pIn after the header.  Returns 1, or 0 when nothing was read.
int ComposeRequestHeader(ConnectionRecord *pRec, FILE *pIn, const ComposeInput *pIn2, RequestSink *pSink);

#endif  // PROXY_HTTP_COMPOSE_H_
