#include "http/http_framing.h"

#include <strings.h>

#include <cstddef>
#include <cstring>
#include <string_view>

#include "core/number_text.h"

namespace {

enum ChunkStateId {
  kCsSize = 0,       // chunk size digits
  kCsSizeBlank = 1,  // blanks after the size, before ";"
  kCsExt = 2,        // chunk extension up to the line end
  kCsData = 3,
  kCsDataEnd = 4,    // the CR LF after the data
  kCsTrailer = 5,
  kCsDone = 6,
};
enum ReaderState { kRdHeader = 0, kRdLength = 1, kRdChunked = 2, kRdClose = 3, kRdDone = 4, kRdFailed = 5 };

// Largest chunk size: 15 significant hexadecimal digits.
constexpr int kChunkDigitsMax = 15;
// Longest decimal Content-Length.
constexpr std::size_t kLengthDigitsMax = 18;

bool EqualNoCase(std::string_view a, const char *b) {
  return a.size() == strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Calls fn(token) for every comma-separated element of a list value, its
// parameters (after ";") and blanks removed; empty elements are skipped.
template <typename Fn>
void ForEachToken(std::string_view value, Fn fn) {
  while (!value.empty()) {
    std::size_t nComma = value.find(',');
    std::string_view tok = value.substr(0, nComma);
    value = nComma == std::string_view::npos ? std::string_view() : value.substr(nComma + 1);
    tok = TrimBlanks(tok.substr(0, tok.find(';')));
    if (!tok.empty()) fn(tok);
  }
}

// State gathered over the field lines of one header.
struct HeaderFacts {
  int bLength = 0, bBadLength = 0;
  uint64_t nLength = 0;
  int nTransfer = 0;         // transfer codings named
  int nChunked = 0;          // of them "chunked"
  int bLastChunked = 0;
  int bUnknownTransfer = 0;
  int nTransferCodings = 0;  // other than chunked
  int nTransferCoding = kCodingNone;
  int nContentCodings = 0;
  int nContentCoding = kCodingNone;
  int bClose = 0;
};

int CodingOf(std::string_view tok) {
  if (EqualNoCase(tok, "gzip") || EqualNoCase(tok, "x-gzip")) return kCodingGzip;
  if (EqualNoCase(tok, "deflate")) return kCodingDeflate;
  return kCodingOther;
}

void ContentLength(std::string_view value, HeaderFacts *pF) {
  // A list of identical values ("5, 5") stands for one (RFC 9110 8.6).
  std::string_view rest = value;
  int bAny = 0;
  while (true) {
    std::size_t nComma = rest.find(',');
    std::string_view tok = TrimBlanks(rest.substr(0, nComma));
    if (tok.empty() || tok.size() > kLengthDigitsMax) {
      pF->bBadLength = 1;
      return;
    }
    uint64_t n = 0;
    for (char c : tok) {
      if (c < '0' || c > '9') {
        pF->bBadLength = 1;
        return;
      }
      n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if ((pF->bLength || bAny) && n != pF->nLength) pF->bBadLength = 1;
    pF->nLength = n;
    bAny = 1;
    if (nComma == std::string_view::npos) break;
    rest = rest.substr(nComma + 1);
  }
  pF->bLength = 1;
}

void TransferEncoding(std::string_view value, HeaderFacts *pF) {
  ForEachToken(value, [pF](std::string_view tok) {
    ++pF->nTransfer;
    if (EqualNoCase(tok, "chunked")) {
      ++pF->nChunked;
      pF->bLastChunked = 1;
      return;
    }
    pF->bLastChunked = 0;
    if (EqualNoCase(tok, "compress") || EqualNoCase(tok, "x-compress")) {
      ++pF->nTransferCodings;
      pF->nTransferCoding = kCodingOther;
      return;
    }
    int nCoding = CodingOf(tok);
    if (nCoding == kCodingOther) pF->bUnknownTransfer = 1;
    ++pF->nTransferCodings;
    pF->nTransferCoding = nCoding;
  });
}

void ContentEncoding(std::string_view value, HeaderFacts *pF) {
  ForEachToken(value, [pF](std::string_view tok) {
    if (EqualNoCase(tok, "identity")) return;
    ++pF->nContentCodings;
    pF->nContentCoding = CodingOf(tok);
  });
}

void ConnectionTokens(std::string_view value, HeaderFacts *pF) {
  ForEachToken(value, [pF](std::string_view tok) {
    if (EqualNoCase(tok, "close")) pF->bClose = 1;
  });
}

int Refuse(HttpFraming *pOut, int nKind) {
  pOut->nError = nKind == kHttpRequest ? 400 : 502;
  return -1;
}

}  // namespace

std::size_t HttpHeaderEnd(const char *p, std::size_t n, std::size_t nFrom) {
  std::size_t i = nFrom;
  while (i < n) {
    const void *pLf = memchr(p + i, '\n', n - i);
    if (pLf == nullptr) return 0;
    std::size_t j = static_cast<std::size_t>(static_cast<const char *>(pLf) - p) + 1;
    if (j < n && p[j] == '\n') return j + 1;
    if (j + 1 < n && p[j] == '\r' && p[j + 1] == '\n') return j + 2;
    i = j;
  }
  return 0;
}

int HttpParseHeader(const char *p, std::size_t nLen, int nKind, int bHeadRequest, HttpFraming *pOut) {
  memset(pOut, 0, sizeof *pOut);
  pOut->nHeaderLen = nLen;
  const int bRequest = nKind == kHttpRequest;
  if (bRequest) {
    // A NUL or a CR that does not end a line: the request cannot be read
    // the same way by everyone on its path.
    for (std::size_t i = 0; i < nLen; ++i) {
      if (p[i] == '\0') return Refuse(pOut, nKind);
      if (p[i] == '\r' && (i + 1 >= nLen || p[i + 1] != '\n')) return Refuse(pOut, nKind);
    }
  }
  HeaderFacts facts;
  std::size_t nPos = 0;
  int nLineNo = 0;
  while (nPos < nLen) {
    const void *pLf = memchr(p + nPos, '\n', nLen - nPos);
    std::size_t nEnd = pLf ? static_cast<std::size_t>(static_cast<const char *>(pLf) - p) : nLen;
    std::string_view line(p + nPos, nEnd - nPos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    nPos = nEnd + 1;
    if (nLineNo++ == 0) {
      // The start line: version and, for a response, the status.
      std::string_view version = bRequest ? line.substr(line.rfind(' ') + 1) : line.substr(0, line.find(' '));
      if (version.size() >= 8 && strncasecmp(version.data(), "http/1.0", 8) == 0) pOut->bHttp10 = 1;
      if (!bRequest) {
        std::size_t nBlank = line.find(' ');
        int nStatus = 0;
        for (std::size_t i = nBlank == std::string_view::npos ? line.size() : nBlank + 1;
             i < line.size() && line[i] >= '0' && line[i] <= '9' && nStatus < 1000; ++i)
          nStatus = nStatus * 10 + (line[i] - '0');
        pOut->nStatus = nStatus;
      }
      continue;
    }
    if (line.empty()) break;
    if (line.front() == ' ' || line.front() == '\t') {
      // obs-fold (RFC 9112 5.2): refused in requests, ignored in responses.
      if (bRequest) return Refuse(pOut, nKind);
      continue;
    }
    std::size_t nColon = line.find(':');
    if (nColon == std::string_view::npos) {
      if (bRequest) return Refuse(pOut, nKind);
      continue;
    }
    std::string_view name = line.substr(0, nColon);
    if (name.find_first_of(" \t") != std::string_view::npos) {
      // Blanks before the colon (RFC 9112 5.1).
      if (bRequest) return Refuse(pOut, nKind);
      continue;
    }
    std::string_view value = line.substr(nColon + 1);
    if (EqualNoCase(name, "content-length"))
      ContentLength(value, &facts);
    else if (EqualNoCase(name, "transfer-encoding"))
      TransferEncoding(value, &facts);
    else if (EqualNoCase(name, "content-encoding"))
      ContentEncoding(value, &facts);
    else if (EqualNoCase(name, "connection"))
      ConnectionTokens(value, &facts);
  }
  pOut->bClose = facts.bClose || pOut->bHttp10;
  pOut->nCodings = facts.nTransferCodings + facts.nContentCodings;
  if (pOut->nCodings == 1)
    pOut->nCoding = facts.nTransferCodings ? facts.nTransferCoding : facts.nContentCoding;
  else if (pOut->nCodings > 1)
    pOut->nCoding = kCodingOther;

  if (bRequest) {
    if (facts.nTransfer > 0 && (facts.bLength || facts.bBadLength)) return Refuse(pOut, nKind);
    if (facts.bBadLength) return Refuse(pOut, nKind);
    if (facts.nTransfer > 0) {
      if (!facts.bLastChunked || facts.nChunked != 1 || facts.bUnknownTransfer) return Refuse(pOut, nKind);
      pOut->bChunked = 1;
    } else if (facts.bLength) {
      pOut->bHaveLength = 1;
      pOut->nLength = facts.nLength;
    }
    return 1;
  }
  // Response (RFC 9112 6.3).
  int nStatus = pOut->nStatus;
  if (bHeadRequest || (nStatus >= 100 && nStatus < 200) || nStatus == 204 || nStatus == 304) {
    pOut->bNoBody = 1;
    return 1;
  }
  if (facts.nTransfer > 0) {
    // Chunked wins over a length; a last coding other than chunked leaves
    // only the server's close to end the body.
    if (facts.bLastChunked && facts.nChunked == 1)
      pOut->bChunked = 1;
    else
      pOut->bUntilClose = 1;
    return 1;
  }
  if (facts.bBadLength) return Refuse(pOut, nKind);
  if (facts.bLength) {
    pOut->bHaveLength = 1;
    pOut->nLength = facts.nLength;
  } else {
    pOut->bUntilClose = 1;
  }
  return 1;
}

void ChunkInit(ChunkParser *pC) { memset(pC, 0, sizeof *pC); }

int ChunkFeed(ChunkParser *pC, const char *p, std::size_t n, std::size_t *pnUsed, ChunkDataFn pfnData, void *pCtx) {
  std::size_t i = 0;
  auto fail = [&](int nError) {
    pC->nError = nError;
    *pnUsed = i;
    return -1;
  };
  while (i < n) {
    if (pC->nState == kCsData) {
      uint64_t nTake = n - i;
      if (nTake > pC->nLeft) nTake = pC->nLeft;
      std::size_t nTook = static_cast<std::size_t>(nTake);
      pC->nLeft -= nTake;
      if (pC->nLeft == 0) pC->nState = kCsDataEnd;
      int bStop = pfnData != nullptr && pfnData(p + i, nTook, pCtx);
      i += nTook;
      if (bStop) {
        *pnUsed = i;
        return 2;
      }
      continue;
    }
    char c = p[i];
    if (pC->bCr && c != '\n') return fail(pC->nState == kCsDataEnd ? kChunkNoCrlf : kChunkBadLine);
    if (c == '\0') return fail(kChunkBadLine);
    switch (pC->nState) {
      case kCsSize:
      case kCsSizeBlank: {
        int v = HexValue(c);
        if (v >= 0 && pC->nState == kCsSize) {
          if (pC->nDigits > 0 || v > 0) ++pC->nDigits;
          if (pC->nDigits > kChunkDigitsMax) return fail(kChunkTooLarge);
          pC->nLeft = pC->nLeft * 16 + static_cast<uint64_t>(v);
          pC->bAnyDigit = 1;
        } else if (c == ';' || c == ' ' || c == '\t') {
          // Blanks may only lead to an extension (BWS ";").
          if (!pC->bAnyDigit) return fail(kChunkBadSize);
          pC->nState = c == ';' ? kCsExt : kCsSizeBlank;
        } else if (c == '\r' && pC->nState == kCsSize) {
          pC->bCr = 1;
        } else if (c == '\n' && pC->nState == kCsSize && pC->bAnyDigit) {
          pC->bCr = 0;
          pC->nState = pC->nLeft == 0 ? kCsTrailer : kCsData;
          pC->nLine = 0;
        } else {
          return fail(kChunkBadSize);
        }
        break;
      }
      case kCsExt:
        if (c == '\r') {
          pC->bCr = 1;
        } else if (c == '\n') {
          pC->bCr = 0;
          pC->nState = pC->nLeft == 0 ? kCsTrailer : kCsData;
          pC->nLine = 0;
        }
        break;
      case kCsDataEnd:
        if (c == '\r') {
          pC->bCr = 1;
        } else if (c == '\n') {
          pC->bCr = 0;
          pC->nState = kCsSize;
          pC->nLeft = 0;
          pC->nDigits = pC->bAnyDigit = 0;
        } else {
          return fail(kChunkNoCrlf);
        }
        break;
      case kCsTrailer:
        if (c == '\r') {
          pC->bCr = 1;
        } else if (c == '\n') {
          pC->bCr = 0;
          if (pC->nLine == 0) {
            pC->nState = kCsDone;
            *pnUsed = i + 1;
            return 1;
          }
          pC->nLine = 0;
        } else {
          ++pC->nLine;
          // The trailer section is bounded like a header.
          if (++pC->nLeft > kHttpHeaderMax) return fail(kChunkBadLine);
        }
        break;
      default:
        *pnUsed = i;
        return 1;
    }
    ++i;
  }
  *pnUsed = i;
  return pC->nState == kCsDone ? 1 : 0;
}

const char *ChunkEndProblem(const ChunkParser *pC) {
  switch (pC->nState) {
    case kCsSize:
      return pC->bAnyDigit || pC->bCr ? "chunk size line not terminated" : "last chunk missing";
    case kCsSizeBlank:
    case kCsExt:
      return "chunk size line not terminated";
    case kCsData:
      return "chunk data truncated";
    case kCsDone:
      return "";
    default:
      return "last chunk missing";
  }
}

const char *ChunkErrorText(int nError) {
  switch (nError) {
    case kChunkBadSize:
      return "chunk size is not a number";
    case kChunkTooLarge:
      return "chunk size too large";
    case kChunkNoCrlf:
      return "chunk data not followed by CRLF";
    case kChunkBadLine:
      return "bare CR or NUL in a chunk line";
    default:
      return "";
  }
}

void HttpReaderInit(HttpReader *pR, int nKind, int bHeadRequest) {
  memset(pR, 0, offsetof(HttpReader, mHeader));
  pR->nKind = nKind;
  pR->bHeadRequest = bHeadRequest;
  ChunkInit(&pR->chunk);
}

int HttpReaderHeaderDone(const HttpReader *pR) { return pR->nState != kRdHeader && pR->nState != kRdFailed; }

int HttpReaderComplete(const HttpReader *pR) { return pR->nState == kRdDone; }

int HttpReaderFeed(HttpReader *pR, const char *p, std::size_t n, std::size_t *pnUsed) {
  std::size_t i = 0;
  int nResult = 0;
  while (nResult == 0 && (i < n || pR->nState == kRdLength)) {
    if (pR->nState == kRdHeader) {
      // Empty lines before a request line are skipped (RFC 9112 2.2).
      if (pR->nHeader == 0 && pR->nKind == kHttpRequest && (p[i] == '\r' || p[i] == '\n')) {
        ++i;
        continue;
      }
      std::size_t nRoom = kHttpHeaderMax - pR->nHeader;
      std::size_t nCopy = n - i < nRoom ? n - i : nRoom;
      memcpy(pR->mHeader + pR->nHeader, p + i, nCopy);
      std::size_t nBefore = pR->nHeader;
      pR->nHeader += nCopy;
      // The first nBefore bytes held no end: only a line end that reaches
      // into the new bytes can be one, so a header arriving a byte at a time
      // is not scanned again from its start each time.
      std::size_t nEnd = HttpHeaderEnd(pR->mHeader, pR->nHeader, nBefore >= 2 ? nBefore - 2 : 0);
      if (nEnd == 0) {
        i += nCopy;
        if (pR->nHeader >= kHttpHeaderMax) {
          pR->nError = pR->nKind == kHttpRequest ? 431 : 502;
          pR->nState = kRdFailed;
          nResult = -1;
        }
        continue;
      }
      i += nEnd - nBefore;
      pR->nHeaderTotal += nEnd;
      if (HttpParseHeader(pR->mHeader, nEnd, pR->nKind, pR->bHeadRequest, &pR->framing) < 0) {
        pR->nError = pR->framing.nError;
        pR->nState = kRdFailed;
        nResult = -1;
        break;
      }
      const HttpFraming &f = pR->framing;
      if (pR->nKind == kHttpResponse && f.nStatus >= 100 && f.nStatus < 200 && f.nStatus != 101) {
        // An interim answer: the final one follows.
        pR->nHeader = 0;
        continue;
      }
      if (f.bNoBody) {
        pR->nState = kRdDone;
      } else if (f.bChunked) {
        pR->nState = kRdChunked;
      } else if (f.bHaveLength) {
        pR->nLeft = f.nLength;
        pR->nState = kRdLength;
      } else if (f.bUntilClose) {
        pR->nState = kRdClose;
      } else {
        pR->nState = kRdDone;  // a request without a body
      }
      if (pR->nState == kRdDone) nResult = 1;
    } else if (pR->nState == kRdLength) {
      uint64_t nTake = n - i;
      if (nTake > pR->nLeft) nTake = pR->nLeft;
      i += static_cast<std::size_t>(nTake);
      pR->nLeft -= nTake;
      if (pR->nLeft == 0) {
        pR->nState = kRdDone;
        nResult = 1;
      } else {
        break;
      }
    } else if (pR->nState == kRdChunked) {
      std::size_t nUsed = 0;
      int nRc = ChunkFeed(&pR->chunk, p + i, n - i, &nUsed, nullptr, nullptr);
      i += nUsed;
      if (nRc < 0) {
        pR->nError = pR->nKind == kHttpRequest ? 400 : 502;
        pR->nState = kRdFailed;
        nResult = -1;
      } else if (nRc == 1) {
        pR->nState = kRdDone;
        nResult = 1;
      }
    } else if (pR->nState == kRdClose) {
      i = n;
    } else {
      nResult = pR->nState == kRdDone ? 1 : -1;
    }
  }
  pR->nReceived += i;
  *pnUsed = i;
  return nResult;
}
