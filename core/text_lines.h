// Line-by-line reading of the small settings and zone files (LDAP settings,
// DNS block-list zones and white lists).
#ifndef PROXY_CORE_TEXT_LINES_H_
#define PROXY_CORE_TEXT_LINES_H_

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/plat_file.h"

// Comment characters of these files: a line whose first character is one of
// them is skipped (an empty line, whose first character was CR or LF, too).
constexpr const char *kBlankQuoteComments = " \"'";

// Reads one line of at most nSize-1 bytes (NULs included) into pBuf, its
// line end kept, and ends it with a NUL; the rest of a longer line is read
// as the next one.  Returns the bytes read, 0 at the end of the file.
inline std::size_t ReadByteLine(FILE *fp, char *pBuf, std::size_t nSize) {
  std::size_t n = 0;
  while (n + 1 < nSize) {
    int c = getc_unlocked(fp);
    if (c == EOF) break;
    pBuf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  pBuf[n] = '\0';
  return n;
}

// Reads the next line of fp into szLine as fgets does (at most nSize-1
// characters, the line end kept); the rest of a longer line is read and
// dropped, so it never passes for a line of its own.  Returns 1 a line, 0 at
// the end of the file.
inline int ReadCappedLine(FILE *fp, char *szLine, int nSize) {
  if (!fgets(szLine, nSize, fp)) return 0;
  if (!strchr(szLine, '\n') && !feof(fp)) {
    int c;
    while ((c = fgetc(fp)) != EOF && c != '\n') {
    }
  }
  return 1;
}

// Reads szPath from the top and hands every line that is not a comment to
// fnLine(char *szLine), cut at its first CR or LF and at N-1 characters; the
// rest of a longer line is dropped (it never passes for a line of its own).
// fnLine may modify the line and returns nonzero to stop.
// Returns -1 when the file cannot be opened, 1 when fnLine stopped, 0 at
// the end of the file.  One stack buffer, no allocation.
template <std::size_t N, typename Fn>
int ReadTextLines(const char *szPath, Fn fnLine) {
  static_assert(N >= 2 && N <= 65536, "line buffer");
  if (!szPath || !*szPath) return -1;
  FILE *fp = PlatOpenRetry(szPath, "rb", 1);
  if (!fp) return -1;
  char szLine[N];
  int nResult = 0;
  while (ReadCappedLine(fp, szLine, static_cast<int>(N))) {
    szLine[strcspn(szLine, "\r\n")] = '\0';
    if (szLine[0] == '\0' || strchr(kBlankQuoteComments, szLine[0])) continue;
    if (fnLine(szLine)) {
      nResult = 1;
      break;
    }
  }
  fclose(fp);
  return nResult;
}

#endif  // PROXY_CORE_TEXT_LINES_H_
