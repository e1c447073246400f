#include "services/cwfs/word_matcher.h"

#include <hs.h>

#include <cstring>
#include <new>

struct WordMatcherImpl {
  hs_database_t *pDb = nullptr;
  hs_scratch_t *pScratch = nullptr;   // prototype cloned for every scan
  std::vector<std::string> words;
};

struct WordScanImpl {
  hs_stream_t *pStream = nullptr;
  hs_scratch_t *pScratch = nullptr;
  int nFound = -1;
};

namespace {

int OnMatch(unsigned int nId, unsigned long long, unsigned long long, unsigned int, void *pCtx) {
  WordScanImpl *pScan = static_cast<WordScanImpl *>(pCtx);
  if (pScan->nFound < 0) pScan->nFound = static_cast<int>(nId);
  return 1;  // the first word found is the verdict: stop scanning
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

void ParseWordList(const char *pText, std::size_t nLen, std::vector<std::string> *pWords, int *pSkipped) {
  pWords->clear();
  int nSkipped = 0;
  std::size_t nPos = 0;
  while (nPos < nLen) {
    const char *pLine = pText + nPos;
    const void *pEnd = memchr(pLine, '\n', nLen - nPos);
    std::size_t nLine = pEnd ? static_cast<std::size_t>(static_cast<const char *>(pEnd) - pLine) : nLen - nPos;
    nPos += nLine + 1;
    if (nLine > 0 && pLine[nLine - 1] == '\r') --nLine;
    if (nLine == 0 || pLine[0] == ' ' || pLine[0] == '"' || pLine[0] == '\'') continue;
    std::size_t nFrom = 0;
    while (nFrom < nLine && IsBlank(pLine[nFrom])) ++nFrom;
    while (nLine > nFrom && IsBlank(pLine[nLine - 1])) --nLine;
    if (nLine == nFrom) continue;
    if (nLine - nFrom > kMaxWordLength) {
      ++nSkipped;
      continue;
    }
    pWords->emplace_back(pLine + nFrom, nLine - nFrom);
  }
  if (pSkipped) *pSkipped = nSkipped;
}

int WordMatcherUsable() { return hs_valid_platform() == HS_SUCCESS ? 1 : 0; }

int WordMatcherBuild(const std::vector<std::string> &words, WordMatcher *pMatcher, std::string *pError) {
  pMatcher->pImpl = nullptr;
  if (words.empty()) return 0;
  std::vector<const char *> exprs;
  std::vector<unsigned> flags, ids;
  std::vector<size_t> lens;
  for (std::size_t i = 0; i < words.size(); ++i) {
    exprs.push_back(words[i].data());
    lens.push_back(words[i].size());
    // Literal bytes, ASCII case ignored; one report per word is enough.
    flags.push_back(HS_FLAG_CASELESS | HS_FLAG_SINGLEMATCH);
    ids.push_back(static_cast<unsigned>(i));
  }
  hs_database_t *pDb = nullptr;
  hs_compile_error_t *pErr = nullptr;
  if (hs_compile_lit_multi(exprs.data(), flags.data(), ids.data(), lens.data(), static_cast<unsigned>(words.size()),
                           HS_MODE_STREAM, nullptr, &pDb, &pErr) != HS_SUCCESS) {
    if (pError) {
      *pError = pErr && pErr->message ? pErr->message : "compile failed";
      if (pErr && pErr->expression >= 0) *pError += " (word " + words[static_cast<size_t>(pErr->expression)] + ")";
    }
    hs_free_compile_error(pErr);
    return -1;
  }
  hs_scratch_t *pScratch = nullptr;
  if (hs_alloc_scratch(pDb, &pScratch) != HS_SUCCESS) {
    hs_free_database(pDb);
    if (pError) *pError = "no memory for the scan space";
    return -1;
  }
  WordMatcherImpl *pImpl = new (std::nothrow) WordMatcherImpl;
  if (!pImpl) {
    hs_free_scratch(pScratch);
    hs_free_database(pDb);
    if (pError) *pError = "out of memory";
    return -1;
  }
  pImpl->pDb = pDb;
  pImpl->pScratch = pScratch;
  pImpl->words = words;
  pMatcher->pImpl = pImpl;
  return 1;
}

void WordMatcherFree(WordMatcher *pMatcher) {
  if (!pMatcher->pImpl) return;
  hs_free_scratch(pMatcher->pImpl->pScratch);
  hs_free_database(pMatcher->pImpl->pDb);
  delete pMatcher->pImpl;
  pMatcher->pImpl = nullptr;
}

std::size_t WordMatcherCount(const WordMatcher &matcher) {
  return matcher.pImpl ? matcher.pImpl->words.size() : 0;
}

const std::string &WordMatcherWord(const WordMatcher &matcher, std::size_t nIndex) {
  return matcher.pImpl->words[nIndex];
}

int WordScanOpen(const WordMatcher &matcher, WordScan *pScan) {
  pScan->pImpl = nullptr;
  WordScanImpl *pImpl = new (std::nothrow) WordScanImpl;
  if (!pImpl) return -1;
  if (hs_clone_scratch(matcher.pImpl->pScratch, &pImpl->pScratch) != HS_SUCCESS ||
      hs_open_stream(matcher.pImpl->pDb, 0, &pImpl->pStream) != HS_SUCCESS) {
    hs_free_scratch(pImpl->pScratch);
    delete pImpl;
    return -1;
  }
  pScan->pImpl = pImpl;
  return 1;
}

int WordScanFeed(WordScan *pScan, const char *pData, std::size_t nLen) {
  WordScanImpl *p = pScan->pImpl;
  if (!p || p->nFound >= 0) return p ? p->nFound : -1;
  // Hyperscan takes at most 4 GiB less one per call.
  while (nLen > 0 && p->nFound < 0) {
    unsigned nPiece = nLen > 0x40000000u ? 0x40000000u : static_cast<unsigned>(nLen);
    hs_scan_stream(p->pStream, pData, nPiece, 0, p->pScratch, OnMatch, p);
    pData += nPiece;
    nLen -= nPiece;
  }
  return p->nFound;
}

int WordScanClose(WordScan *pScan) {
  WordScanImpl *p = pScan->pImpl;
  if (!p) return -1;
  // Closing with a callback reports matches that end at the stream's end.
  hs_close_stream(p->pStream, p->pScratch, p->nFound < 0 ? OnMatch : nullptr, p);
  int nFound = p->nFound;
  hs_free_scratch(p->pScratch);
  delete p;
  pScan->pImpl = nullptr;
  return nFound;
}
