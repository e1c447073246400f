#include "services/cwfs/http_content.h"

#include <zlib.h>

#include <cstring>
#include <string_view>

namespace {

constexpr std::size_t kInflatePiece = 65536;

enum Coding { kCodingNone, kCodingGzip, kCodingDeflate, kCodingOther };

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// What the header says about the body.
struct BodyForm {
  int bChunked = 0;
  int nCodings = 0;          // content codings other than identity
  Coding coding = kCodingNone;
  std::string_view other;    // the first coding that is not decoded
};

// Adds the tokens of a coding list ("gzip, chunked").
void AddCodings(std::string_view value, int bTransfer, BodyForm *pForm) {
  while (!value.empty()) {
    std::size_t nComma = value.find(',');
    std::string_view tok = Trim(value.substr(0, nComma));
    value = nComma == std::string_view::npos ? std::string_view() : value.substr(nComma + 1);
    std::size_t nSemi = tok.find(';');
    tok = Trim(tok.substr(0, nSemi));
    if (tok.empty() || EqualNoCase(tok, "identity")) continue;
    if (bTransfer && EqualNoCase(tok, "chunked")) {
      pForm->bChunked = 1;
      continue;
    }
    ++pForm->nCodings;
    if (EqualNoCase(tok, "gzip") || EqualNoCase(tok, "x-gzip")) {
      pForm->coding = kCodingGzip;
    } else if (EqualNoCase(tok, "deflate")) {
      pForm->coding = kCodingDeflate;
    } else {
      pForm->coding = kCodingOther;
      if (pForm->other.empty()) pForm->other = tok;
    }
  }
}

void ReadHeader(std::string_view header, BodyForm *pForm) {
  std::size_t nPos = header.find('\n');  // the status line is skipped
  while (nPos != std::string_view::npos && nPos + 1 < header.size()) {
    std::size_t nEnd = header.find('\n', nPos + 1);
    std::string_view line = header.substr(nPos + 1, nEnd == std::string_view::npos ? nEnd : nEnd - nPos - 1);
    nPos = nEnd;
    std::size_t nColon = line.find(':');
    if (nColon == std::string_view::npos) continue;
    std::string_view name = Trim(line.substr(0, nColon));
    if (EqualNoCase(name, "transfer-encoding")) AddCodings(line.substr(nColon + 1), 1, pForm);
    else if (EqualNoCase(name, "content-encoding")) AddCodings(line.substr(nColon + 1), 0, pForm);
  }
}

// Second stage: takes the de-chunked body and hands it to the sink, decoded
// when the coding is gzip or deflate.
struct Decoder {
  Coding coding = kCodingNone;
  ContentSink pfnSink = nullptr;
  void *pCtx = nullptr;
  uint64_t nMax = 0;
  ContentReport *pReport = nullptr;
  z_stream zs;
  int bStarted = 0;          // inflate initialised
  int bEnded = 0;            // a complete compressed stream was seen
  unsigned char head[2];     // first bytes of a deflate body, to tell zlib from raw
  int nHead = 0;
  unsigned char *pOut = nullptr;
  int bStopped = 0;          // the sink asked to stop
  int bFailed = 0;           // decoding failed; the problem is set
};

// 1 go on, 0 stopped by the sink, -1 fault (problem set).
int Emit(Decoder *d, const char *p, std::size_t n) {
  if (n == 0) return 1;
  if (d->pReport->nBodyBytes + n > d->nMax) {
    d->pReport->mProblem.Format("body larger than %llu bytes when decoded", static_cast<unsigned long long>(d->nMax));
    n = static_cast<std::size_t>(d->nMax - d->pReport->nBodyBytes);
    d->pReport->nBodyBytes += n;
    if (n && d->pfnSink(kPartBody, p, n, d->pCtx)) d->bStopped = 1;
    d->bFailed = 1;
    return d->bStopped ? 0 : -1;
  }
  d->pReport->nBodyBytes += n;
  if (d->pfnSink(kPartBody, p, n, d->pCtx)) {
    d->bStopped = 1;
    return 0;
  }
  return 1;
}

int StartInflate(Decoder *d, int nWindowBits) {
  memset(&d->zs, 0, sizeof d->zs);
  if (inflateInit2(&d->zs, nWindowBits) != Z_OK) {
    d->pReport->mProblem.Assign("decoder could not start");
    return -1;
  }
  d->pOut = new unsigned char[kInflatePiece];
  d->bStarted = 1;
  return 1;
}

int Inflate(Decoder *d, const unsigned char *p, std::size_t n) {
  d->zs.next_in = const_cast<unsigned char *>(p);
  d->zs.avail_in = static_cast<uInt>(n);
  while (d->zs.avail_in > 0) {
    if (d->bEnded) {
      // gzip allows several members one after the other; anything else
      // after the end of the stream is ignored.
      if (d->coding == kCodingGzip && d->zs.next_in[0] == 0x1f) {
        inflateReset(&d->zs);
        d->bEnded = 0;
      } else {
        d->pReport->mProblem.Assign("data after the end of the compressed body ignored");
        return 1;
      }
    }
    d->zs.next_out = d->pOut;
    d->zs.avail_out = kInflatePiece;
    int nRc = inflate(&d->zs, Z_NO_FLUSH);
    std::size_t nMade = kInflatePiece - d->zs.avail_out;
    int nEmit = Emit(d, reinterpret_cast<const char *>(d->pOut), nMade);
    if (nEmit != 1) return nEmit;
    if (nRc == Z_STREAM_END) {
      d->bEnded = 1;
    } else if (nRc == Z_BUF_ERROR) {
      if (nMade == 0) break;  // needs more input
    } else if (nRc != Z_OK) {
      d->pReport->mProblem.Format("%s body does not decode (%s)", d->coding == kCodingGzip ? "gzip" : "deflate",
                                  d->zs.msg ? d->zs.msg : "data error");
      d->bFailed = 1;
      return -1;
    }
  }
  // Output may still be pending with all input consumed.
  while (!d->bEnded) {
    d->zs.next_out = d->pOut;
    d->zs.avail_out = kInflatePiece;
    int nRc = inflate(&d->zs, Z_NO_FLUSH);
    std::size_t nMade = kInflatePiece - d->zs.avail_out;
    int nEmit = Emit(d, reinterpret_cast<const char *>(d->pOut), nMade);
    if (nEmit != 1) return nEmit;
    if (nRc == Z_STREAM_END) d->bEnded = 1;
    if (nMade == 0 || nRc != Z_OK) break;
  }
  return 1;
}

int DecodeFeed(Decoder *d, const char *p, std::size_t n) {
  if (d->coding != kCodingGzip && d->coding != kCodingDeflate) return Emit(d, p, n);
  const unsigned char *pu = reinterpret_cast<const unsigned char *>(p);
  if (!d->bStarted) {
    if (d->coding == kCodingGzip) {
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
  return Inflate(d, pu, n);
}

int DecodeFinish(Decoder *d) {
  int nResult = 1;
  if ((d->coding == kCodingGzip || d->coding == kCodingDeflate) && !d->bStopped && !d->bFailed) {
    if (d->nHead == 1 && !d->bStarted) {
      d->pReport->mProblem.Assign("compressed body truncated");
      nResult = -1;
    } else if (d->bStarted && !d->bEnded) {
      d->pReport->mProblem.Assign("compressed body truncated");
      nResult = -1;
    }
  }
  if (d->bStarted) inflateEnd(&d->zs);
  delete[] d->pOut;
  d->pOut = nullptr;
  return nResult;
}

// First stage: removes the chunked transfer coding (RFC 9112 7.1):
//   chunk-size [; ext] CRLF  chunk-data CRLF ... 0 CRLF [trailers] CRLF
// Returns 1 done, 0 stopped, -1 malformed.
int Dechunk(const char *p, std::size_t n, Decoder *d) {
  std::size_t nPos = 0;
  for (;;) {
    uint64_t nSize = 0;
    int nDigits = 0;
    while (nPos < n) {
      char c = p[nPos];
      int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (v < 0) break;
      if (++nDigits > 15) {
        d->pReport->mProblem.Assign("chunk size too large");
        return -1;
      }
      nSize = nSize * 16 + static_cast<uint64_t>(v);
      ++nPos;
    }
    if (nDigits == 0) {
      d->pReport->mProblem.Assign(nPos >= n ? "last chunk missing" : "chunk size is not a number");
      return -1;
    }
    const void *pEol = memchr(p + nPos, '\n', n - nPos);
    if (!pEol) {
      d->pReport->mProblem.Assign("chunk size line not terminated");
      return -1;
    }
    nPos = static_cast<std::size_t>(static_cast<const char *>(pEol) - p) + 1;
    if (nSize == 0) return 1;  // trailers carry nothing to inspect
    if (nSize > n - nPos) {
      int nRc = DecodeFeed(d, p + nPos, n - nPos);
      if (nRc != 1) return nRc;
      d->pReport->mProblem.Assign("chunk data truncated");
      return -1;
    }
    int nRc = DecodeFeed(d, p + nPos, static_cast<std::size_t>(nSize));
    if (nRc != 1) return nRc;
    nPos += static_cast<std::size_t>(nSize);
    if (nPos < n && p[nPos] == '\r') ++nPos;
    if (nPos >= n || p[nPos] != '\n') {
      d->pReport->mProblem.Assign(nPos >= n ? "last chunk missing" : "chunk data not followed by CRLF");
      return -1;
    }
    ++nPos;
  }
}

}  // namespace

int WalkHttpContent(const char *pData, std::size_t nLen, uint64_t nMaxDecoded, ContentSink pfnSink, void *pCtx,
                    ContentReport *pReport) {
  memset(pReport, 0, sizeof *pReport);
  Decoder d;
  d.pfnSink = pfnSink;
  d.pCtx = pCtx;
  d.nMax = nMaxDecoded;
  d.pReport = pReport;
  std::string_view all(pData, nLen);
  if (nLen < 5 || memcmp(pData, "HTTP/", 5) != 0) {
    int nRc = Emit(&d, pData, nLen);
    return nRc;
  }
  pReport->bHttp = 1;
  // The header ends at the first empty line (CR LF or bare LF).
  std::size_t nCrlf = all.find("\r\n\r\n"), nLf = all.find("\n\n");
  std::size_t nHeaderLen = nLen, nBody = nLen;
  if (nCrlf != std::string_view::npos && (nLf == std::string_view::npos || nCrlf < nLf)) {
    nHeaderLen = nCrlf + 2;
    nBody = nCrlf + 4;
  } else if (nLf != std::string_view::npos) {
    nHeaderLen = nLf + 1;
    nBody = nLf + 2;
  }
  if (pfnSink(kPartHeader, pData, nHeaderLen, pCtx)) return 0;
  BodyForm form;
  ReadHeader(all.substr(0, nHeaderLen), &form);
  pReport->bChunked = form.bChunked;
  if (form.nCodings > 1 || form.coding == kCodingOther) {
    // Unknown or stacked codings: the body is inspected as it stands.
    pReport->mProblem.Format("content coding %.*s not decoded",
                             static_cast<int>(form.other.empty() ? 8 : form.other.size()),
                             form.other.empty() ? "stacked" : form.other.data());
    d.coding = kCodingNone;
  } else {
    d.coding = form.coding;
    if (form.coding == kCodingGzip) pReport->mEncoding.Assign("gzip");
    if (form.coding == kCodingDeflate) pReport->mEncoding.Assign("deflate");
  }
  int nRc = form.bChunked ? Dechunk(pData + nBody, nLen - nBody, &d) : DecodeFeed(&d, pData + nBody, nLen - nBody);
  int nFinish = DecodeFinish(&d);
  if (nRc == 1) nRc = nFinish;
  if (d.bStopped) return 0;
  return nRc;
}
