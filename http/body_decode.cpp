#include "http/body_decode.h"

#include <zlib.h>

#include <cstring>
#include <new>

#include "core/spool_file.h"
#include "platform/plat_file.h"

namespace {

constexpr std::size_t kInflatePiece = 65536;
constexpr std::size_t kFilePiece = 65536;

z_stream *Z(BodyDecoder *d) { return static_cast<z_stream *>(d->pZ); }

// 1 go on, 0 stopped by the sink, -1 fault (problem set).
int Emit(BodyDecoder *d, const char *p, std::size_t n) {
  if (n == 0) return 1;
  if (d->nBodyBytes + n > d->nMax) {
    d->mProblem.Format("body larger than %llu bytes when decoded", static_cast<unsigned long long>(d->nMax));
    n = static_cast<std::size_t>(d->nMax - d->nBodyBytes);
    d->nBodyBytes += n;
    if (n && d->pfnSink(p, n, d->pCtx)) d->bStopped = 1;
    d->bFailed = 1;
    return d->bStopped ? 0 : -1;
  }
  d->nBodyBytes += n;
  if (d->pfnSink(p, n, d->pCtx)) {
    d->bStopped = 1;
    return 0;
  }
  return 1;
}

int StartInflate(BodyDecoder *d, int nWindowBits) {
  z_stream *zs = new (std::nothrow) z_stream;
  d->pOut = new (std::nothrow) unsigned char[kInflatePiece];
  if (zs == nullptr || d->pOut == nullptr) {
    delete zs;
    d->mProblem.Assign("decoder could not start");
    d->bFailed = 1;
    return -1;
  }
  memset(zs, 0, sizeof *zs);
  if (inflateInit2(zs, nWindowBits) != Z_OK) {
    delete zs;
    d->mProblem.Assign("decoder could not start");
    d->bFailed = 1;
    return -1;
  }
  d->pZ = zs;
  return 1;
}

int Inflate(BodyDecoder *d, const unsigned char *p, std::size_t n) {
  z_stream *zs = Z(d);
  zs->next_in = const_cast<unsigned char *>(p);
  zs->avail_in = static_cast<uInt>(n);
  while (zs->avail_in > 0) {
    if (d->bEnded) {
      // gzip allows several members one after the other; anything else
      // after the end of the stream is ignored.
      if (d->nCoding == kCodingGzip && zs->next_in[0] == 0x1f) {
        inflateReset(zs);
        d->bEnded = 0;
      } else {
        d->mProblem.Assign("data after the end of the compressed body ignored");
        return 1;
      }
    }
    zs->next_out = d->pOut;
    zs->avail_out = kInflatePiece;
    int nRc = inflate(zs, Z_NO_FLUSH);
    std::size_t nMade = kInflatePiece - zs->avail_out;
    int nEmit = Emit(d, reinterpret_cast<const char *>(d->pOut), nMade);
    if (nEmit != 1) return nEmit;
    if (nRc == Z_STREAM_END) {
      d->bEnded = 1;
    } else if (nRc == Z_BUF_ERROR) {
      if (nMade == 0) break;  // needs more input
    } else if (nRc != Z_OK) {
      d->mProblem.Format("%s body does not decode (%s)", d->nCoding == kCodingGzip ? "gzip" : "deflate",
                         zs->msg ? zs->msg : "data error");
      d->bFailed = 1;
      return -1;
    }
  }
  // Output may still be pending with all input consumed.
  while (!d->bEnded) {
    zs->next_out = d->pOut;
    zs->avail_out = kInflatePiece;
    int nRc = inflate(zs, Z_NO_FLUSH);
    std::size_t nMade = kInflatePiece - zs->avail_out;
    int nEmit = Emit(d, reinterpret_cast<const char *>(d->pOut), nMade);
    if (nEmit != 1) return nEmit;
    if (nRc == Z_STREAM_END) d->bEnded = 1;
    if (nMade == 0 || nRc != Z_OK) break;
  }
  return 1;
}

// Second stage: the de-chunked body, decoded when the coding asks for it.
int Decode(BodyDecoder *d, const char *p, std::size_t n) {
  if (d->nCoding != kCodingGzip && d->nCoding != kCodingDeflate) return Emit(d, p, n);
  const unsigned char *pu = reinterpret_cast<const unsigned char *>(p);
  if (d->pZ == nullptr) {
    if (d->nCoding == kCodingGzip) {
      if (StartInflate(d, 15 + 32) != 1) return -1;  // gzip, or zlib sent as gzip
    } else {
      // "deflate" is meant as a zlib stream, but many servers send raw
      // deflate data: a valid zlib header (RFC 1950) tells them apart.
      while (d->nHead < 2 && n > 0) {
        d->head[d->nHead++] = *pu++;
        --n;
      }
      if (d->nHead < 2) return 1;
      int bZlib = (d->head[0] & 0x0f) == 8 && ((d->head[0] << 8) | d->head[1]) % 31 == 0;
      if (StartInflate(d, bZlib ? 15 : -15) != 1) return -1;
      int nRc = Inflate(d, d->head, 2);
      if (nRc != 1) return nRc;
    }
  }
  if (n == 0) return 1;
  return Inflate(d, pu, n);
}

int ChunkData(const char *p, std::size_t n, void *pCtx) {
  BodyDecoder *d = static_cast<BodyDecoder *>(pCtx);
  return Decode(d, p, n) != 1;
}

struct FileSink {
  FILE *pOut;
  int bFailed;
};

int WriteToFile(const char *p, std::size_t n, void *pCtx) {
  FileSink *s = static_cast<FileSink *>(pCtx);
  if (PlatSpoolAppend(s->pOut, p, n) != 1) s->bFailed = 1;
  return s->bFailed;
}

}  // namespace

void BodyDecodeStart(BodyDecoder *pD, int bChunked, int nCoding, uint64_t nMax, BodySink pfnSink, void *pCtx) {
  memset(static_cast<void *>(pD), 0, sizeof *pD);
  pD->bChunked = bChunked;
  pD->nCoding = nCoding == kCodingGzip || nCoding == kCodingDeflate ? nCoding : kCodingNone;
  if (nCoding == kCodingOther) pD->mProblem.Assign("content coding not decoded");
  pD->pfnSink = pfnSink;
  pD->pCtx = pCtx;
  pD->nMax = nMax;
  ChunkInit(&pD->chunk);
}

int BodyDecodeFeed(BodyDecoder *pD, const char *p, std::size_t n) {
  if (pD->bStopped) return 0;
  if (pD->bFailed) return -1;
  if (!pD->bChunked) return Decode(pD, p, n);
  if (pD->bChunkDone) return 1;  // trailers and what follows carry nothing
  std::size_t nUsed = 0;
  int nRc = ChunkFeed(&pD->chunk, p, n, &nUsed, ChunkData, pD);
  if (nRc == 1) pD->bChunkDone = 1;
  if (pD->bStopped) return 0;
  if (pD->bFailed) return -1;
  if (nRc < 0) {
    pD->mProblem.Assign(ChunkErrorText(pD->chunk.nError));
    pD->bFailed = 1;
    return -1;
  }
  return 1;
}

int BodyDecodeFinish(BodyDecoder *pD) {
  int nResult = pD->bFailed ? -1 : 1;
  if (!pD->bStopped && !pD->bFailed) {
    if (pD->bChunked && !pD->bChunkDone) {
      pD->mProblem.Assign(ChunkEndProblem(&pD->chunk));
      nResult = -1;
    } else if ((pD->nCoding == kCodingGzip || pD->nCoding == kCodingDeflate) &&
               ((pD->nHead == 1 && pD->pZ == nullptr) || (pD->pZ != nullptr && !pD->bEnded))) {
      pD->mProblem.Assign("compressed body truncated");
      nResult = -1;
    }
  }
  if (pD->pZ != nullptr) {
    inflateEnd(Z(pD));
    delete Z(pD);
    pD->pZ = nullptr;
  }
  delete[] pD->pOut;
  pD->pOut = nullptr;
  return nResult;
}

int DecodeMessageBodyFile(const char *szMessage, int nKind, const char *szBody) {
  FILE *pIn = OpenSpool(szMessage, "rb");
  if (pIn == nullptr) return -1;
  char *pBuf = new (std::nothrow) char[kHttpHeaderMax > kFilePiece ? kHttpHeaderMax : kFilePiece];
  if (pBuf == nullptr) {
    fclose(pIn);
    return -1;
  }
  std::size_t nGot = fread(pBuf, 1, kHttpHeaderMax, pIn);
  std::size_t nHeader = HttpHeaderEnd(pBuf, nGot);
  HttpFraming f;
  int nResult = 0;
  if (nHeader > 0 && HttpParseHeader(pBuf, nHeader, nKind, 0, &f) == 1 && !f.bNoBody &&
      (f.bChunked || f.nCoding == kCodingGzip || f.nCoding == kCodingDeflate)) {
    FILE *pOut = PlatSpoolCreate(szBody, "wb");
    nResult = pOut != nullptr ? 1 : -1;
    if (pOut != nullptr) {
      FileSink sink{pOut, 0};
      BodyDecoder *d = new (std::nothrow) BodyDecoder;
      if (d == nullptr) {
        nResult = -1;
      } else {
        BodyDecodeStart(d, f.bChunked, f.nCoding, kBodyDecodeMax, WriteToFile, &sink);
        int nRc = BodyDecodeFeed(d, pBuf + nHeader, nGot - nHeader);
        std::size_t n;
        while (nRc == 1 && (n = fread(pBuf, 1, kFilePiece, pIn)) > 0) nRc = BodyDecodeFeed(d, pBuf, n);
        BodyDecodeFinish(d);
        delete d;
      }
      if (PlatSpoolClose(pOut) != 1 || sink.bFailed) nResult = kSpoolFull;
    }
  }
  fclose(pIn);
  delete[] pBuf;
  return nResult;
}
