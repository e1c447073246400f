#include "services/cwfs/cwfs.h"

#include <vector>

#include "platform/plat_ipc_server.h"

namespace {

struct ScanState {
  const WordMatcher *pMatcher;
  WordScan body;
  int bBodyOpen = 0;
  int nFound = -1;
  int bNoMemory = 0;
};

// The header and the body are scanned as two streams: a phrase does not run
// from the last header line into the body.
int OnContent(int nPart, const char *pData, std::size_t nLen, void *pCtx) {
  ScanState *s = static_cast<ScanState *>(pCtx);
  if (nPart == kPartHeader) {
    WordScan header;
    if (WordScanOpen(*s->pMatcher, &header) != 1) {
      s->bNoMemory = 1;
      return 1;
    }
    WordScanFeed(&header, pData, nLen);
    s->nFound = WordScanClose(&header);
    return s->nFound >= 0;
  }
  if (!s->bBodyOpen) {
    if (WordScanOpen(*s->pMatcher, &s->body) != 1) {
      s->bNoMemory = 1;
      return 1;
    }
    s->bBodyOpen = 1;
  }
  s->nFound = WordScanFeed(&s->body, pData, nLen);
  return s->nFound >= 0;
}

}  // namespace

int CwfsScanContent(const WordMatcher &matcher, const char *pData, std::size_t nLen, uint64_t nMaxDecoded,
                    std::string *pWord, ContentReport *pReport) {
  ScanState s;
  s.pMatcher = &matcher;
  int nRc = WalkHttpContent(pData, nLen, nMaxDecoded, OnContent, &s, pReport);
  if (s.bBodyOpen) {
    int nAtEnd = WordScanClose(&s.body);
    if (s.nFound < 0) s.nFound = nAtEnd;
  }
  if (s.bNoMemory) {
    pReport->mProblem.Assign("out of memory for the scan");
    return -1;
  }
  if (s.nFound >= 0) {
    *pWord = WordMatcherWord(matcher, static_cast<std::size_t>(s.nFound));
    return 1;
  }
  return nRc < 0 ? -1 : 0;
}

int CwfsRefreshList(CwfsContext *pCtx, std::string *pMessage) {
  uint64_t nSize = 0;
  int64_t nMTime = 0;
  int nStamp = PlatRegularFileStamp(pCtx->mListPath.c_str(), &nSize, &nMTime);
  {
    std::lock_guard<std::mutex> lock(pCtx->lock);
    if (nStamp == 1 && pCtx->current && pCtx->current->nSize == nSize && pCtx->current->nMTimeNs == nMTime) return 1;
  }
  // One thread compiles; the others wait for it here and then see the new
  // list through the stamp test above on their next request.
  std::lock_guard<std::mutex> build(pCtx->buildLock);
  if (nStamp == 0) {
    std::lock_guard<std::mutex> lock(pCtx->lock);
    pCtx->current.reset();
    if (pMessage) *pMessage = std::string("no word list ") + pCtx->mListPath.c_str();
    return 0;
  }
  std::vector<char> text;
  int nRead = nStamp == 1 ? PlatReadRegularFile(pCtx->mListPath.c_str(), 64ull << 20, &text, nullptr) : -1;
  if (nRead != 1) {
    if (pMessage) *pMessage = std::string("word list ") + pCtx->mListPath.c_str() + " cannot be read";
    std::lock_guard<std::mutex> lock(pCtx->lock);
    return pCtx->current ? -1 : (nRead == 0 ? 0 : -1);
  }
  std::vector<std::string> words;
  int nSkipped = 0;
  ParseWordList(text.data(), text.size(), &words, &nSkipped);
  std::shared_ptr<CwfsList> list = std::make_shared<CwfsList>();
  list->nSize = nSize;
  list->nMTimeNs = nMTime;
  std::string sError;
  int nBuilt = WordMatcherBuild(words, &list->matcher, &sError);
  if (nBuilt < 0) {
    if (pMessage) *pMessage = "word list " + std::string(pCtx->mListPath.c_str()) + " not compiled: " + sError;
    return -1;
  }
  std::lock_guard<std::mutex> lock(pCtx->lock);
  if (nBuilt == 0) {
    pCtx->current.reset();
    if (pMessage) *pMessage = std::string("word list ") + pCtx->mListPath.c_str() + " has no words";
    return 0;
  }
  pCtx->current = list;
  if (pMessage) {
    *pMessage = std::string("word list ") + pCtx->mListPath.c_str() + ": " + std::to_string(words.size()) + " words";
    if (nSkipped) *pMessage += ", " + std::to_string(nSkipped) + " lines longer than 1000 bytes skipped";
  }
  return 1;
}

void CwfsHandle(const char *szRequest, ServiceReply *pReply, void *pArg) {
  CwfsContext *pCtx = static_cast<CwfsContext *>(pArg);
  PathText path;
  if (!ServiceRequestFile(szRequest, &path)) {
    pReply->mNote.Assign("no usable file name");
    return;
  }
  std::string sMessage;
  int nList = CwfsRefreshList(pCtx, &sMessage);
  std::shared_ptr<CwfsList> list;
  {
    std::lock_guard<std::mutex> lock(pCtx->lock);
    list = pCtx->current;
  }
  if (!list) {
    pReply->mNote.Assign(sMessage);
    return;
  }
  std::vector<char> data;
  if (!ServiceReadRequestFile(path.c_str(), pCtx->nMaxFile, &data, pReply)) return;
  std::string sWord;
  ContentReport report;
  int nRc = CwfsScanContent(list->matcher, data.data(), data.size(), pCtx->nMaxDecoded, &sWord, &report);
  if (nRc == 1) pReply->mText.Assign(sWord);
  pReply->mNote.Format("%llu bytes%s%s%s%s%s%s", static_cast<unsigned long long>(data.size()),
                       report.bChunked ? ", chunked" : "", report.mEncoding.Empty() ? "" : ", ",
                       report.mEncoding.c_str(), report.mProblem.Empty() ? "" : ", ", report.mProblem.c_str(),
                       nList < 0 ? ", word list reload failed" : "");
}
