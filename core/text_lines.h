// Line-by-line reading of text files and texts in memory: settings, list
// and zone files, the cached response heads, the spool files of requests.
// One reader serves them all; each caller names what becomes of a line
// longer than its buffer.
#ifndef PROXY_CORE_TEXT_LINES_H_
#define PROXY_CORE_TEXT_LINES_H_

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/plat_file.h"
#include "platform/plat_file_stamp.h"

// Comment characters of these files: a line whose first character is one of
// them is skipped (an empty line, whose first character was CR or LF, too).
constexpr const char *kBlankQuoteComments = " \"'";

// What becomes of the rest of a line longer than the buffer.
enum class LongLine {
  kSplit,  // it is read as the next line, as fgets does
  kDrop,   // it is read and dropped up to its line feed, never a line of its own
};

// Where lines come from: an open file, or a text in memory (read from
// nPos on).
struct LineSource {
  FILE *fp;
  const char *pText;
  std::size_t nText;
  std::size_t nPos;
};

inline LineSource FileLineSource(FILE *fp) { return LineSource{fp, nullptr, 0, 0}; }
inline LineSource TextLineSource(const char *pText, std::size_t nText) { return LineSource{nullptr, pText, nText, 0}; }

// Reads one line of at most nSize-1 bytes (NULs included) into pBuf, its
// line end kept, and ends it with a NUL; the rest of a longer line as eLong
// says.  Returns the bytes stored, 0 at the end of the source.
std::size_t ReadSourceLine(LineSource *pSrc, char *pBuf, std::size_t nSize, LongLine eLong);

inline std::size_t ReadFileLine(FILE *fp, char *pBuf, std::size_t nSize, LongLine eLong) {
  LineSource src = FileLineSource(fp);
  return ReadSourceLine(&src, pBuf, nSize, eLong);
}

// Reads the next line of fp as fgets does (at most nSize-1 characters, the
// line end kept); the rest of a longer line is dropped.  Returns 1 a line, 0
// at the end of the file.
inline int ReadCappedLine(FILE *fp, char *szLine, int nSize) {
  return nSize > 0 && ReadFileLine(fp, szLine, static_cast<std::size_t>(nSize), LongLine::kDrop) > 0;
}

// Cuts the n bytes of a line read at its first CR or LF.  Returns the
// length kept.
inline std::size_t CutLineEnd(char *pBuf, std::size_t n) {
  std::size_t nCut = 0;
  while (nCut < n && pBuf[nCut] != '\r' && pBuf[nCut] != '\n') ++nCut;
  pBuf[nCut] = '\0';
  return nCut;
}

// How the lines of a settings or list file are handed over.
struct LineRules {
  LongLine eLong;
  const char *szComments;  // a line beginning with one of these is skipped
  int bKeepEmpty;          // empty lines are handed over too
};

// Reads the source line by line (at most N-1 bytes each, the rest of a
// longer line as the rules say) and hands every line that is not a comment
// to fnLine(char *szLine), cut at its first CR or LF.  When split, a piece
// that holds only the line end of a longer line is no line of its own.
// fnLine may modify the line and returns nonzero to stop.  *pEntries, when
// given, counts the lines handed over.  Returns 1 when fnLine stopped, 0 at
// the end.  One stack buffer, no allocation.
template <std::size_t N, typename Fn>
int ForEachLine(LineSource *pSrc, const LineRules &rules, Fn fnLine, int *pEntries = nullptr) {
  static_assert(N >= 2 && N <= 65536, "line buffer");
  if (pEntries) *pEntries = 0;
  char szLine[N];
  bool bFull = false;  // the previous piece filled the buffer before its line end (kSplit)
  std::size_t n;
  while ((n = ReadSourceLine(pSrc, szLine, N, rules.eLong)) > 0) {
    bool bContinues = bFull;
    bFull = rules.eLong == LongLine::kSplit && n == N - 1 && szLine[n - 1] != '\n';
    CutLineEnd(szLine, n);
    if (szLine[0] == '\0') {
      if (bContinues || !rules.bKeepEmpty) continue;
    } else if (strchr(rules.szComments, szLine[0])) {
      continue;
    }
    if (pEntries) ++*pEntries;
    if (fnLine(szLine)) return 1;
  }
  return 0;
}

// Settings, list and zone files are kept in memory: every look compares the
// file's stamp (identity, size, change times) with that of the copy held and
// reads the file again only when it differs, so an edit still takes effect
// with the next look while an unchanged file costs one stat instead of an
// open, a read and a close.  A file changed within the last second is read
// again at every look (its stamp may not show a further edit yet).
struct FileText {
  PlatFileStamp stamp;
  std::string text;
};
// The text of the file as it is now, or nullptr when it is to be read from
// the file (not a regular file, above 16 MiB, unreadable) or is missing
// (*pbMissing set then).
std::shared_ptr<const FileText> CachedFileText(const char *szPath, int *pbMissing);

// A file opened for reading its lines: its copy in memory, or the open
// file when it is not kept.
struct TextFile {
  std::shared_ptr<const FileText> pText;
  FILE *fp = nullptr;
  LineSource src{};
};
// Opens szPath for line reading.  1 done (close with CloseTextFile), -1 no
// such file or not readable.
int OpenTextFile(const char *szPath, TextFile *pFile);
void CloseTextFile(TextFile *pFile);

// Reads szPath from the top, through its copy in memory when there is one,
// and hands its lines to fnLine as ForEachLine does.  Returns -1 when the
// file cannot be opened, 1 when fnLine stopped, 0 at the end of the file.
template <std::size_t N, typename Fn>
int ScanTextFile(const char *szPath, const LineRules &rules, Fn fnLine, int *pEntries = nullptr) {
  if (pEntries) *pEntries = 0;
  TextFile file;
  if (OpenTextFile(szPath, &file) != 1) return -1;
  int nResult = ForEachLine<N>(&file.src, rules, fnLine, pEntries);
  CloseTextFile(&file);
  return nResult;
}

// Reads szPath from the top and hands every line that is not a comment
// (kBlankQuoteComments, empty lines skipped) to fnLine(char *szLine), cut
// at its first CR or LF and at N-1 characters; the rest of a longer line is
// dropped.  Returns -1 when the file cannot be opened, 1 when fnLine
// stopped, 0 at the end of the file.
template <std::size_t N, typename Fn>
int ReadTextLines(const char *szPath, Fn fnLine) {
  return ScanTextFile<N>(szPath, LineRules{LongLine::kDrop, kBlankQuoteComments, 0}, fnLine);
}

#endif  // PROXY_CORE_TEXT_LINES_H_
