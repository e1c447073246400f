// Spooled HTTP responses as the content filter reads them: header, chunked
// transfer coding, gzip and deflate bodies.  Every body byte handed over
// counts, and decoding stops at its limit.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "services/cwfs/http_content.h"

namespace {

struct Seen {
  uint64_t nBody;
  int nHeaders;
  unsigned nStopAfter;  // stop the walk at this body piece (0: never)
  unsigned nPieces;
};

int Sink(int nPart, const char *pData, std::size_t nLen, void *pCtx) {
  Seen *s = static_cast<Seen *>(pCtx);
  // Touch every byte, so a piece pointing outside its buffer shows up.
  volatile unsigned nSum = 0;
  for (std::size_t i = 0; i < nLen; ++i) nSum = nSum + static_cast<unsigned char>(pData[i]);
  if (nPart == kPartHeader) {
    ++s->nHeaders;
    return 0;
  }
  s->nBody += nLen;
  return ++s->nPieces == s->nStopAfter;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  FuzzInput in{pData, nSize};
  unsigned nSel = in.Byte();
  // A small limit now and then, so the expansion guard runs too.
  uint64_t nMax = (nSel & 1) ? 1024 : 64u << 20;
  std::vector<char> data(in.p, in.p + in.n);
  Seen seen{0, 0, nSel >> 4, 0};
  ContentReport report;
  int r = WalkHttpContent(data.data(), data.size(), nMax, Sink, &seen, &report);
  FUZZ_CHECK(r >= -1 && r <= 1 && (r != 0 || seen.nStopAfter != 0));
  FUZZ_CHECK(seen.nHeaders <= 1 && seen.nBody == report.nBodyBytes);
  FUZZ_CHECK(report.mEncoding.Empty() || report.nBodyBytes <= nMax);
  return 0;
}
