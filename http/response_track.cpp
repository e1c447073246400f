#include "http/response_track.h"

#include <cstddef>
#include <cstring>

void TrackerInit(ResponseTracker *pT, int bHeadRequest) {
  memset(pT, 0, offsetof(ResponseTracker, reader));
  pT->bHeaderPending = 1;
  HttpReaderInit(&pT->reader, kHttpResponse, bHeadRequest);
}

int TrackerFeed(ResponseTracker *pT, const char *pData, std::size_t nLen) {
  pT->nReceived += nLen;
  if (pT->bComplete) return 1;
  if (pT->bBad) return -1;
  std::size_t nUsed = 0;
  int nRc = HttpReaderFeed(&pT->reader, pData, nLen, &nUsed);
  if (pT->bHeaderPending && HttpReaderHeaderDone(&pT->reader)) {
    const HttpFraming &f = pT->reader.framing;
    pT->bHeaderPending = 0;
    pT->nStatus = f.nStatus;
    pT->bNotModified = f.nStatus == 304;
    pT->bNoBody = f.bNoBody;
    pT->bChunked = f.bChunked;
    pT->bServerClose = f.bClose;
    pT->nHeaderLen = pT->reader.nHeaderTotal;
    if (f.bHaveLength && !f.bChunked && !f.bNoBody) {
      pT->bLengthKnown = 1;
      pT->nExpected = pT->nHeaderLen + f.nLength;
    }
  }
  if (nRc < 0) {
    pT->bBad = 1;
    pT->bServerClose = 1;
    return -1;
  }
  if (nRc == 1) {
    pT->bComplete = 1;
    // Bytes past the end of the response: the server cannot be trusted with
    // another exchange on this connection.
    if (nUsed < nLen) pT->bServerClose = 1;
  }
  return pT->bComplete;
}

int TrackerCutShort(const ResponseTracker *pT) {
  if (pT->nReceived == 0 || pT->bComplete || pT->bBad) return 0;
  if (pT->bHeaderPending) return 1;
  return pT->bLengthKnown || pT->bChunked;
}
