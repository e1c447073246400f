// The HTTP content filter "ruvocwfs": replies the first forbidden word found
// in a spooled HTTP response (header first, then the decoded body), from the
// word list "cwfs-words.db" in the data folder.  The list is compiled once
// and again whenever the file changes.
#ifndef PROXY_SERVICES_CWFS_CWFS_H_
#define PROXY_SERVICES_CWFS_CWFS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/settings.h"
#include "services/common/service.h"
#include "services/cwfs/http_content.h"
#include "services/cwfs/word_matcher.h"

constexpr const char *kCwfsName = "ruvocwfs";
constexpr const char *kCwfsWordFile = "cwfs-words.db";
// Largest decoded body scanned; a compressed body past it is scanned up to
// here and then given up.
constexpr uint64_t kCwfsMaxDecoded = 256ull << 20;

// One compiled generation of the list, kept alive by the scans using it.
struct CwfsList {
  WordMatcher matcher;
  uint64_t nSize = 0;        // file stamp it was built from
  int64_t nMTimeNs = 0;
  ~CwfsList() { WordMatcherFree(&matcher); }
};

struct CwfsContext {
  PathText mListPath;                 // data folder + "cwfs-words.db"
  uint64_t nMaxFile = 0;              // -K
  uint64_t nMaxDecoded = kCwfsMaxDecoded;
  std::mutex lock;                    // guards current
  std::shared_ptr<CwfsList> current;  // null: no usable list
  std::mutex buildLock;               // one compile at a time
};

// Loads the list when it changed since the last load (or was never loaded).
// Returns 1 a list with words is in force, 0 the file is missing or has no
// words (nothing is in force), -1 the file cannot be read or compiled (the
// previous list stays in force).  *pMessage says what happened when given.
int CwfsRefreshList(CwfsContext *pCtx, std::string *pMessage);

// Scans an HTTP response held in memory.  Returns 1 a word was found
// (*pWord), 0 clean, -1 clean as far as it could be read (pReport->mProblem
// says what was wrong).
int CwfsScanContent(const WordMatcher &matcher, const char *pData, std::size_t nLen, uint64_t nMaxDecoded,
                    std::string *pWord, ContentReport *pReport);

// The service's request handler (ServiceHandler; pCtx is a CwfsContext).
void CwfsHandle(const char *szRequest, ServiceReply *pReply, void *pCtx);

#endif  // PROXY_SERVICES_CWFS_CWFS_H_
