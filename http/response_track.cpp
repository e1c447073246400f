#include "http/response_track.h"

#include <cstring>

#include "http/http_text.h"

namespace {

enum ChunkState { kChunkSize = 0, kChunkExt = 1, kChunkData = 2, kChunkDataEnd = 3, kChunkTrailer = 4 };

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One complete header line (its first bytes in mLine).
void HeaderLine(ResponseTracker *pT) {
  const char *szLine = pT->mLine;
  if (pT->nLineNo++ == 0) {
    if (StartsNoCase(szLine, "http/")) {
      const char *pBlank = strchr(szLine, ' ');
      pT->nStatus = pBlank ? static_cast<int>(ParseDecimal(pBlank + 1)) : 0;
      if (strncmp(szLine + 5, "1.0", 3) == 0) pT->bServerClose = 1;
      if (pT->nStatus == 304) pT->bNotModified = 1;
      if (pT->nStatus == 204 || pT->nStatus == 304 || (pT->nStatus >= 100 && pT->nStatus < 200))
        pT->bNoBody = 1;
    }
    return;
  }
  if (pT->nLineLen == 2 && szLine[0] == '\r' && szLine[1] == '\n') {
    if (pT->nStatus >= 100 && pT->nStatus < 200 && pT->nStatus != 101) {
      // An interim answer: the real status line follows.
      pT->nLineNo = 0;
      pT->nStatus = 0;
      pT->bNoBody = pT->bNotModified = 0;
      return;
    }
    pT->bHeaderPending = 0;
    if (pT->bHaveLength) {
      pT->bLengthKnown = 1;
      pT->nExpected = pT->nHeaderLen + pT->nContentLength;
    }
    return;
  }
  if (StartsNoCase(szLine, "content-length:") && !pT->bHaveLength) {
    pT->bHaveLength = 1;
    pT->nContentLength = ParseDecimal(szLine + 15);
  } else if (StartsNoCase(szLine, "transfer-encoding:")) {
    char szLow[sizeof pT->mLine];
    CopyTextLower(szLow, szLine, sizeof szLow);
    if (strstr(szLow, "chunked") != nullptr) pT->bChunked = 1;
  } else if (StartsNoCase(szLine, "connection:")) {
    char szLow[sizeof pT->mLine];
    CopyTextLower(szLow, szLine, sizeof szLow);
    if (strstr(szLow, "close") != nullptr) pT->bServerClose = 1;
  }
}

// Follows the chunked coding over the bytes of a piece.
void FeedChunks(ResponseTracker *pT, const char *p, std::size_t n) {
  std::size_t i = 0;
  while (i < n && !pT->bComplete && pT->bChunked) {
    char c = p[i];
    switch (pT->nChunkState) {
      case kChunkSize: {
        int v = HexValue(c);
        ++i;
        if (v >= 0) {
          if (pT->nChunkLeft < (1ull << 56)) pT->nChunkLeft = pT->nChunkLeft * 16 + static_cast<unsigned>(v);
          pT->bChunkDigits = 1;
        } else if (c == '\n') {
          if (!pT->bChunkDigits) {
            pT->bChunked = 0;  // not chunked after all: read until the server closes
          } else if (pT->nChunkLeft == 0) {
            pT->nChunkState = kChunkTrailer;
            pT->nTrailerLineLen = 0;
          } else {
            pT->nChunkState = kChunkData;
          }
        } else if (c == ';') {
          pT->nChunkState = kChunkExt;
        } else if (c != '\r' && c != ' ' && c != '\t') {
          pT->bChunked = 0;
        }
        break;
      }
      case kChunkExt:
        ++i;
        if (c == '\n') {
          pT->nChunkState = pT->nChunkLeft == 0 ? kChunkTrailer : kChunkData;
          pT->nTrailerLineLen = 0;
        }
        break;
      case kChunkData: {
        uint64_t nTake = n - i;
        if (nTake > pT->nChunkLeft) nTake = pT->nChunkLeft;
        i += static_cast<std::size_t>(nTake);
        pT->nChunkLeft -= nTake;
        if (pT->nChunkLeft == 0) pT->nChunkState = kChunkDataEnd;
        break;
      }
      case kChunkDataEnd:
        ++i;
        if (c == '\n') {
          pT->nChunkState = kChunkSize;
          pT->nChunkLeft = 0;
          pT->bChunkDigits = 0;
        }
        break;
      case kChunkTrailer:
        ++i;
        if (c == '\n') {
          if (pT->nTrailerLineLen == 0) pT->bComplete = 1;
          pT->nTrailerLineLen = 0;
        } else if (c != '\r') {
          ++pT->nTrailerLineLen;
        }
        break;
    }
  }
}

}  // namespace

void TrackerInit(ResponseTracker *pT, int bHeadRequest) {
  memset(pT, 0, sizeof *pT);
  pT->bHeaderPending = 1;
  pT->bNoBody = bHeadRequest;
  pT->bChunkDigits = 0;
}

int TrackerFeed(ResponseTracker *pT, const char *pData, std::size_t nLen) {
  pT->nReceived += nLen;
  std::size_t i = 0;
  while (pT->bHeaderPending && i < nLen) {
    char c = pData[i++];
    if (pT->nLineLen < sizeof pT->mLine - 1) {
      pT->mLine[pT->nLineLen] = c;
      pT->mLine[pT->nLineLen + 1] = '\0';
    }
    ++pT->nLineLen;
    if (c == '\n') {
      pT->nHeaderLen += pT->nLineLen;
      if (pT->nLineLen >= sizeof pT->mLine) pT->mLine[sizeof pT->mLine - 1] = '\0';
      HeaderLine(pT);
      pT->nLineLen = 0;
      pT->mLine[0] = '\0';
    }
  }
  if (pT->bHeaderPending) return 0;
  if (pT->bNoBody) {
    pT->bComplete = 1;
  } else if (pT->bLengthKnown) {
    if (pT->nReceived >= pT->nExpected) pT->bComplete = 1;
  } else if (pT->bChunked) {
    FeedChunks(pT, pData + i, nLen - i);
  }
  return pT->bComplete;
}
