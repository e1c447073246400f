// HTTP message framing on bytes from a client or a server: the reader must
// come to the same verdict, the same message length and the same framing
// whether a message arrives whole or cut at any point, and the body decoder
// (chunked, gzip, deflate) must hand on the same bytes either way.
//
// Input: one selector byte (bit 0 response, bit 1 answer to HEAD), then the
// message.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_input.h"
#include "http/body_decode.h"
#include "http/http_framing.h"

namespace {

struct Outcome {
  int nResult;
  std::size_t nUsed;
  int nError;
  HttpFraming framing;
};

// Feeds the message cut at nCut and reports where the reader stopped.
Outcome Read(HttpReader *pR, int nKind, int bHead, const std::string &data, std::size_t nCut) {
  HttpReaderInit(pR, nKind, bHead);
  Outcome o{};
  std::size_t nPieces[2] = {nCut, data.size() - nCut};
  for (std::size_t i = 0, nAt = 0; i < 2 && o.nResult == 0; nAt += nPieces[i], ++i) {
    std::size_t nUsed = 0;
    o.nResult = HttpReaderFeed(pR, data.data() + nAt, nPieces[i], &nUsed);
    FUZZ_CHECK(nUsed <= nPieces[i]);
    o.nUsed += nUsed;
  }
  o.nError = pR->nError;
  o.framing = pR->framing;
  return o;
}

int Collect(const char *p, std::size_t n, void *pCtx) {
  static_cast<std::string *>(pCtx)->append(p, n);
  return 0;
}

// The decoded body of `body` cut at nCut, and the decoder's verdict.
std::string Decode(const HttpFraming &f, const std::string &body, std::size_t nCut, int *pnResult) {
  std::string out;
  BodyDecoder d;
  BodyDecodeStart(&d, f.bChunked, f.nCodings == 1 ? f.nCoding : kCodingOther, 1u << 20, Collect, &out);
  int r = BodyDecodeFeed(&d, body.data(), nCut);
  if (r == 1) r = BodyDecodeFeed(&d, body.data() + nCut, body.size() - nCut);
  int nEnd = BodyDecodeFinish(&d);
  *pnResult = r * 2 + nEnd;
  FUZZ_CHECK(out.size() <= (1u << 20));
  return out;
}

constexpr std::size_t kEveryCut = 1024;

std::size_t NextCut(std::size_t nCut, std::size_t n) {
  return n <= kEveryCut ? nCut + 1 : nCut + 1 + n / kEveryCut;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, std::size_t nSize) {
  FuzzInput in{pData, nSize};
  unsigned nSel = in.Byte();
  const int nKind = (nSel & 1) ? kHttpResponse : kHttpRequest;
  const int bHead = (nSel & 2) ? 1 : 0;
  const std::string data = in.Rest();

  static std::unique_ptr<HttpReader> pReader(new HttpReader);
  const Outcome whole = Read(pReader.get(), nKind, bHead, data, data.size());
  FUZZ_CHECK(whole.nResult >= -1 && whole.nResult <= 1);
  if (whole.nResult < 0) FUZZ_CHECK(whole.nError == 400 || whole.nError == 431 || whole.nError == 502);
  for (std::size_t nCut = 0; nCut <= data.size(); nCut = NextCut(nCut, data.size())) {
    const Outcome cut = Read(pReader.get(), nKind, bHead, data, nCut);
    FUZZ_CHECK(cut.nResult == whole.nResult);
    FUZZ_CHECK(cut.nError == whole.nError);
    if (whole.nResult == 1) {
      FUZZ_CHECK(cut.nUsed == whole.nUsed);
      FUZZ_CHECK(memcmp(&cut.framing, &whole.framing, sizeof cut.framing) == 0);
    }
  }

  // The body the header announces, decoded whole and cut.  Where the body
  // starts: the first byte after which the reader has its whole header.
  if (whole.nResult >= 0) {
    HttpReaderInit(pReader.get(), nKind, bHead);
    std::size_t nStart = 0, nUsed = 0;
    while (nStart < data.size() && !HttpReaderHeaderDone(pReader.get())) {
      if (HttpReaderFeed(pReader.get(), data.data() + nStart, 1, &nUsed) < 0) return 0;
      ++nStart;
    }
    if (!HttpReaderHeaderDone(pReader.get())) return 0;
    const HttpFraming f = pReader->framing;
    const std::size_t nEnd = whole.nResult == 1 ? whole.nUsed : data.size();
    FUZZ_CHECK(nStart <= nEnd);
    const std::string body = data.substr(nStart, nEnd - nStart);
    int nWhole = 0;
    const std::string out = Decode(f, body, body.size(), &nWhole);
    for (std::size_t nCut = 0; nCut < body.size(); nCut = NextCut(nCut, body.size())) {
      int nCutResult = 0;
      FUZZ_CHECK(Decode(f, body, nCut, &nCutResult) == out);
      FUZZ_CHECK(nCutResult == nWhole);
    }
  }
  return 0;
}
