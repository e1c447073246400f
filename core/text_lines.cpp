#include "core/text_lines.h"

#include <mutex>
#include <utility>
#include <vector>

namespace {

// The file form: byte by byte through the stream's buffer.
std::size_t ReadStreamLine(FILE *fp, char *pBuf, std::size_t nSize, LongLine eLong) {
  std::size_t n = 0;
  int c = EOF;
  while (n + 1 < nSize) {
    c = getc_unlocked(fp);
    if (c == EOF) break;
    pBuf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  pBuf[n] = '\0';
  // The buffer filled before the line end: drop the rest up to it.
  if (eLong == LongLine::kDrop && n + 1 == nSize && c != '\n' && c != EOF) {
    while ((c = getc_unlocked(fp)) != EOF && c != '\n') {
    }
  }
  return n;
}

// The memory form: the same bytes as the file form would give.
std::size_t ReadMemoryLine(LineSource *pSrc, char *pBuf, std::size_t nSize, LongLine eLong) {
  if (pSrc->nPos >= pSrc->nText) {
    pBuf[0] = '\0';
    return 0;
  }
  const char *pStart = pSrc->pText + pSrc->nPos;
  std::size_t nLeft = pSrc->nText - pSrc->nPos;
  std::size_t n = nLeft < nSize - 1 ? nLeft : nSize - 1;
  const void *pLf = memchr(pStart, '\n', n);
  if (pLf) n = static_cast<std::size_t>(static_cast<const char *>(pLf) - pStart) + 1;
  memcpy(pBuf, pStart, n);
  pBuf[n] = '\0';
  pSrc->nPos += n;
  if (eLong == LongLine::kDrop && !pLf) {
    const void *pRestLf = memchr(pStart + n, '\n', nLeft - n);
    pSrc->nPos = pRestLf ? static_cast<std::size_t>(static_cast<const char *>(pRestLf) - pSrc->pText) + 1
                         : pSrc->nText;
  }
  return n;
}

}  // namespace

std::size_t ReadSourceLine(LineSource *pSrc, char *pBuf, std::size_t nSize, LongLine eLong) {
  if (nSize < 2) {
    if (nSize == 1) pBuf[0] = '\0';
    return 0;
  }
  if (pSrc->fp) return ReadStreamLine(pSrc->fp, pBuf, nSize, eLong);
  return ReadMemoryLine(pSrc, pBuf, nSize, eLong);
}

namespace {

constexpr uint64_t kFileTextMax = 16u << 20;
constexpr std::size_t kFileTextEntries = 64;

struct FileTextCache {
  std::mutex lock;
  std::vector<std::pair<std::string, std::shared_ptr<const FileText>>> entries;
};

FileTextCache &TheFileTextCache() {
  static FileTextCache cache;
  return cache;
}

}  // namespace

std::shared_ptr<const FileText> CachedFileText(const char *szPath, int *pbMissing) {
  PlatFileStamp stamp;
  int nStamp = PlatGetFileStamp(szPath, &stamp);
  *pbMissing = nStamp < 0;
  if (nStamp != 1 || stamp.nSize > kFileTextMax) return nullptr;
  FileTextCache &cache = TheFileTextCache();
  {
    std::lock_guard<std::mutex> guard(cache.lock);
    for (const auto &entry : cache.entries)
      if (entry.first == szPath && PlatSameFileStamp(entry.second->stamp, stamp)) return entry.second;
  }
  // Read outside the lock; the stamp taken before the read is kept, so a
  // change during the read is read again next time.
  FILE *fp = fopen(szPath, "rb");
  if (!fp) return nullptr;
  auto pText = std::make_shared<FileText>();
  pText->stamp = stamp;
  pText->text.resize(static_cast<std::size_t>(stamp.nSize));
  std::size_t nRead = fread(pText->text.data(), 1, pText->text.size(), fp);
  fclose(fp);
  pText->text.resize(nRead);
  // A file changed a moment ago may change again without a new stamp: its
  // text serves this look only.
  if (!PlatFileStampSettled(stamp)) return pText;
  std::lock_guard<std::mutex> guard(cache.lock);
  for (auto &entry : cache.entries) {
    if (entry.first == szPath) {
      entry.second = pText;
      return pText;
    }
  }
  if (cache.entries.size() >= kFileTextEntries) cache.entries.erase(cache.entries.begin());
  cache.entries.emplace_back(szPath, pText);
  return pText;
}

int OpenTextFile(const char *szPath, TextFile *pFile) {
  pFile->fp = nullptr;
  if (!szPath || !*szPath) return -1;
  int bMissing = 0;
  pFile->pText = CachedFileText(szPath, &bMissing);
  if (bMissing) return -1;  // no file: no second look with open
  if (pFile->pText) {
    pFile->src = TextLineSource(pFile->pText->text.data(), pFile->pText->text.size());
    return 1;
  }
  pFile->fp = PlatOpenRetry(szPath, "rb", 1);
  if (!pFile->fp) return -1;
  pFile->src = FileLineSource(pFile->fp);
  return 1;
}

void CloseTextFile(TextFile *pFile) {
  if (pFile->fp) fclose(pFile->fp);
  pFile->fp = nullptr;
  pFile->pText.reset();
}
