#include "services/cwfs/http_content.h"

#include <cstring>
#include <new>

#include "http/body_decode.h"
#include "http/http_framing.h"

namespace {

struct SinkAdapter {
  ContentSink pfnSink;
  void *pCtx;
};

int BodyPiece(const char *p, std::size_t n, void *pCtx) {
  SinkAdapter *a = static_cast<SinkAdapter *>(pCtx);
  return a->pfnSink(kPartBody, p, n, a->pCtx);
}

}  // namespace

int WalkHttpContent(const char *pData, std::size_t nLen, uint64_t nMaxDecoded, ContentSink pfnSink, void *pCtx,
                    ContentReport *pReport) {
  memset(static_cast<void *>(pReport), 0, sizeof *pReport);
  SinkAdapter adapter{pfnSink, pCtx};
  BodyDecoder *d = new (std::nothrow) BodyDecoder;
  if (d == nullptr) {
    pReport->mProblem.Assign("decoder could not start");
    return -1;
  }
  int bHttp = nLen >= 5 && memcmp(pData, "HTTP/", 5) == 0;
  std::size_t nHeaderLen = 0;
  HttpFraming form;
  memset(&form, 0, sizeof form);
  if (bHttp) {
    pReport->bHttp = 1;
    nHeaderLen = HttpHeaderEnd(pData, nLen);
    // The filter reads the header without the empty line that ends it.
    std::size_t nShown = nHeaderLen;
    if (nHeaderLen == 0)
      nHeaderLen = nShown = nLen;
    else
      nShown -= nHeaderLen >= 2 && pData[nHeaderLen - 2] == '\r' ? 2 : 1;
    if (pfnSink(kPartHeader, pData, nShown, pCtx)) {
      delete d;
      return 0;
    }
    // A header the proxy would refuse is still inspected as it stands.
    HttpParseHeader(pData, nHeaderLen, kHttpResponse, 0, &form);
    pReport->bChunked = form.bChunked;
    if (form.nCoding == kCodingGzip) pReport->mEncoding.Assign("gzip");
    if (form.nCoding == kCodingDeflate) pReport->mEncoding.Assign("deflate");
  }
  BodyDecodeStart(d, form.bChunked, form.nCoding, nMaxDecoded, BodyPiece, &adapter);
  int nRc = BodyDecodeFeed(d, pData + nHeaderLen, nLen - nHeaderLen);
  int nFinish = BodyDecodeFinish(d);
  if (nRc == 1) nRc = nFinish;
  pReport->nBodyBytes = d->nBodyBytes;
  pReport->mProblem.Assign(d->mProblem.c_str());
  if (d->bStopped) nRc = 0;
  delete d;
  return nRc;
}
