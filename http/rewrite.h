// Response header rewriting on the way to the client (-U master flag):
// upgrade lines dropped, connection lines normalised, the client's
// keep-alive decided, and for answers from the cache the Via and
// forwarding lines added.
#ifndef PROXY_HTTP_REWRITE_H_
#define PROXY_HTTP_REWRITE_H_

#include <cstddef>
#include <cstdio>

struct ConnectionRecord;

// kResponseCloseOnly leaves every line as it is and only adds
// "Connection: close" when the client connection ends after the answer.
enum ResponseMode { kResponseServer = 0, kResponseCache = 1, kResponseCloseOnly = 2 };

// The Via value "NUMBER LOCALNAME (Q-RELAY Server v1.38)\r\n" for a version
// text such as "HTTP/1.1" (the number is the text after its "/").
void MakeViaValue(const char *szVersion, const char *szLocalName, char *pOut, std::size_t nOutSize);

// Reads the header from pFile (positioned at its start) and writes the
// rewritten header into pOut (at most nOutSize-1 bytes).  Returns 1 with
// the file positioned after the last header line taken (after the empty
// line, or where the buffer filled up, so the rest goes out unchanged),
// or 0 when the first line is no status line (file rewound, nothing
// written).  *pbEnd tells whether the empty line was found.  May clear
// pRec->bKeepAlive.
int RewriteResponseHeader(ConnectionRecord *pRec, FILE *pFile, const char *szVersion, int nMode,
                          char *pOut, std::size_t nOutSize, std::size_t *pnLen, int *pbEnd);

// Rewrites the header of the open response file and sends it to the client
// with one send; the caller sends the rest of the file after it.
void SetVIAResponseHeader(ConnectionRecord *pRec, FILE *pFile, const char *szVersion, int nMode);

// The header of an answer on its way to the client: rewritten with the -U
// master flag, otherwise only given "Connection: close" when the client
// connection ends after it (and sent as it is while it persists).
void DeliverResponseHeader(ConnectionRecord *pRec, FILE *pFile, const char *szVersion, int nMode);

#endif  // PROXY_HTTP_REWRITE_H_
