#include "core/log.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <strings.h>

#include "core/base64.h"
#include "base/fixed_text.h"
#include "base/limits.h"
#include "core/settings.h"
#include "core/text_lines.h"
#include "platform/plat_file.h"
#include "platform/plat_log.h"
#include "platform/plat_time.h"

namespace {

std::mutex g_LogLock;
std::mutex g_AccessLogLock;
// The daily debug-log file kept open between lines, its name, and the
// second of the last check that it still exists (all under g_LogLock).
PathText s_openPath;
int s_nFd = -1;
int64_t s_nChecked = 0;
LogClockFn g_pfnClock = nullptr;

int64_t LogNow(int *pMillis) { return g_pfnClock ? g_pfnClock(pMillis) : PlatNow(pMillis); }

constexpr const char *kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Daily file of a folder: "folder/yyyymmdd.log".
void DailyFileName(const char *szFolder, const PlatTm &tmv, PathText *pPath) {
  pPath->Format("%s/%04d%02d%02d.log", szFolder, tmv.nYear, tmv.nMonth, tmv.nDay);
}

// Reads one line of at most nSize-1 bytes (NULs included) and cuts it at
// its first CR or LF; the rest of a longer line is read as the next one, as
// fgets does.  Returns the length kept, or -1 at the end of the file.
long ReadCutLine(FILE *fp, char *pBuf, size_t nSize) {
  size_t n = ReadFileLine(fp, pBuf, nSize, LongLine::kSplit);
  if (n == 0) return -1;
  return static_cast<long>(CutLineEnd(pBuf, n));
}

// A field of the access line: bytes that came from the client, escaped
// when the line is written.
struct AccessField {
  char m[kAccessField];
  size_t nLen;
};

// The value after a header name: leading spaces skipped.
void HeaderValue(const char *pLine, size_t nLineLen, size_t nNameLen, AccessField *pOut) {
  size_t i = nNameLen;
  while (i < nLineLen && pLine[i] == ' ') ++i;
  pOut->nLen = nLineLen - i < sizeof pOut->m - 1 ? nLineLen - i : sizeof pOut->m - 1;
  memcpy(pOut->m, pLine + i, pOut->nLen);
  pOut->m[pOut->nLen] = '\0';
}

// Escaped copy of a field for the access line.
struct EscapedField {
  char m[4 * kAccessField];
  EscapedField(const AccessField &f) { EscapeLogText(f.m, f.nLen, m, sizeof m, 1); }
};

}  // namespace

void SetLogClock(LogClockFn fn) { g_pfnClock = fn; }

void DebugLogReopen() {
  std::lock_guard<std::mutex> lock(g_LogLock);
  PlatCloseFd(s_nFd);
  s_nFd = -1;
}

bool DebugLogEnabled() { return g_bLogFile || g_bLogConsole; }

size_t EscapeLogText(const char *pIn, size_t nLen, char *pOut, size_t nOutSize, int bQuoted) {
  static const char kHex[] = "0123456789abcdef";
  if (nOutSize == 0) return 0;
  size_t n = 0;
  for (size_t i = 0; i < nLen; ++i) {
    unsigned char c = static_cast<unsigned char>(pIn[i]);
    bool bEscape = (c < 0x20 && (c != '\t' || bQuoted)) || c == 0x7f || (bQuoted && (c == '"' || c == '\\'));
    if (n + (bEscape ? 4 : 1) >= nOutSize) break;
    if (bEscape) {
      pOut[n++] = '\\';
      pOut[n++] = 'x';
      pOut[n++] = kHex[c >> 4];
      pOut[n++] = kHex[c & 15];
    } else {
      pOut[n++] = static_cast<char>(c);
    }
  }
  pOut[n] = '\0';
  return n;
}

void DebugLog(const char *szLine) {
  if (!g_bLogFile && !g_bLogConsole) return;
  // Time stamp + the line with every control byte escaped (four bytes each
  // at worst) + its line end; guarded by g_LogLock.
  static char s_szBuf[4 * kLogLineSize + 64];  // room for an 8-byte line end
  // The line's own end stays as it is: the CRs and LFs that close a line
  // ending in "\n" ("\n", the "\r\n" of a protocol line, a blank line
  // after it).  Every other control byte, which can only have come from a
  // peer, is escaped so that it can neither start a forged line nor steer
  // a terminal.  A line longer than the log line buffer is cut and still
  // ends with "\n".
  size_t nText = strlen(szLine);
  size_t nBody = nText;
  if (nBody > 0 && szLine[nBody - 1] == '\n')
    while (nBody > 0 && (szLine[nBody - 1] == '\n' || szLine[nBody - 1] == '\r')) --nBody;
  const char *szEnd = szLine + nBody;
  size_t nEnd = nText - nBody;
  if (nBody > kLogLineSize || nEnd > 8) {
    nBody = nBody < kLogLineSize ? nBody : kLogLineSize;
    szEnd = "\n";
    nEnd = 1;
  }
  // Most lines hold no control byte: they are copied as they are, and the
  // look for one happens before the lock is taken.
  bool bPlain = true;
  for (size_t i = 0; i < nBody && bPlain; ++i) {
    unsigned char c = static_cast<unsigned char>(szLine[i]);
    bPlain = (c >= 0x20 || c == '\t') && c != 0x7f;
  }
  std::lock_guard<std::mutex> lock(g_LogLock);
  int nMillis = 0;
  int64_t nNow = LogNow(&nMillis);
  // The local time changes its fields once a second: converted only then.
  static int64_t s_nTmFor = -1;
  static PlatTm s_tm;
  if (nNow != s_nTmFor) {
    PlatLocalTime(nNow, &s_tm);
    s_nTmFor = nNow;
  }
  const PlatTm &tmv = s_tm;
  // "[hh:mm:ss:mmm] ", written digit by digit (this runs under the lock).
  auto put2 = [](char *p, int v) {
    p[0] = static_cast<char>('0' + v / 10 % 10);
    p[1] = static_cast<char>('0' + v % 10);
  };
  s_szBuf[0] = '[';
  put2(s_szBuf + 1, tmv.nHour);
  s_szBuf[3] = ':';
  put2(s_szBuf + 4, tmv.nMinute);
  s_szBuf[6] = ':';
  put2(s_szBuf + 7, tmv.nSecond);
  s_szBuf[9] = ':';
  s_szBuf[10] = static_cast<char>('0' + nMillis / 100 % 10);
  put2(s_szBuf + 11, nMillis % 100);
  s_szBuf[13] = ']';
  s_szBuf[14] = ' ';
  size_t nLen = 15;
  if (bPlain) {
    memcpy(s_szBuf + nLen, szLine, nBody);
    nLen += nBody;
  } else {
    nLen += EscapeLogText(szLine, nBody, s_szBuf + nLen, sizeof s_szBuf - nLen - 9, 0);
  }
  memcpy(s_szBuf + nLen, szEnd, nEnd);
  nLen += nEnd;
  if (g_bLogFile) {
    // The daily file stays open between lines (guarded by g_LogLock) and is
    // opened anew when the date, and so its name, changes.  A file that
    // cannot be opened is tried again at the next line; one removed while
    // open (by hand, or by a clean-up) is noticed within a second.
    PathText path;
    DailyFileName(g_szLogDir.c_str(), tmv, &path);
    int bGone = 0;
    if (s_nFd >= 0 && nNow != s_nChecked) {
      s_nChecked = nNow;
      bGone = !PlatFileExists(path.c_str());
    }
    if (s_nFd < 0 || bGone || strcmp(path.c_str(), s_openPath.c_str()) != 0) {
      PlatCloseFd(s_nFd);
      s_nFd = PlatOpenAppendFd(path.c_str());
      s_openPath.Assign(path.c_str());
    }
    if (s_nFd >= 0) PlatWriteFd(s_nFd, s_szBuf, nLen);
  }
  if (g_bLogConsole) {
    fwrite(s_szBuf, 1, nLen, stderr);
    fflush(stderr);
  }
}

void DebugLogF(const char *szFmt, ...) {
  if (!g_bLogFile && !g_bLogConsole) return;
  char szLine[kLogLineSize];
  va_list ap;
  va_start(ap, szFmt);
  int bOk = PlatFormatLogLine(szLine, sizeof szLine, szFmt, ap);
  va_end(ap);
  if (bOk) DebugLog(szLine);
}

void AccessLog(const char *szRequestFile, const char *szClient, int nStatus, uint64_t nBytes) {
  if (!g_bAccessLog) return;
  AccessField request{}, user{}, referer{}, agent{};
  FILE *fp = fopen(szRequestFile, "rb");
  if (fp) {
    long nFirst = ReadCutLine(fp, request.m, sizeof request.m);
    if (nFirst > 0) {
      request.nLen = static_cast<size_t>(nFirst);
      char szLine[kAccessField - 1];
      long nLine;
      while ((nLine = ReadCutLine(fp, szLine, sizeof szLine)) > 0) {
        size_t nL = static_cast<size_t>(nLine);
        if (strncasecmp(szLine, "user-agent:", 11) == 0) {
          HeaderValue(szLine, nL, 11, &agent);
        } else if (strncasecmp(szLine, "referer:", 8) == 0) {
          HeaderValue(szLine, nL, 8, &referer);
        } else if (strncasecmp(szLine, "authorization:", 14) == 0) {
          const char *p = szLine + 14;
          while (*p == ' ') ++p;
          if (strncasecmp(p, "basic ", 6) == 0) {
            // The decoded credentials may hold any byte, NUL included: the
            // user is the part before the first ":" by length, not by text.
            user.nLen = Base64Decode(p + 6, user.m, sizeof user.m);
            const void *pColon = memchr(user.m, ':', user.nLen);
            if (pColon) user.nLen = static_cast<size_t>(static_cast<const char *>(pColon) - user.m);
          }
        }
      }
    }
    fclose(fp);
  }
  EscapedField escRequest(request), escUser(user), escReferer(referer), escAgent(agent);
  std::lock_guard<std::mutex> lock(g_AccessLogLock);
  int64_t nNow = LogNow(nullptr);
  PlatTm tmv;
  PlatLocalTime(nNow, &tmv);
  PathText path;
  DailyFileName(g_szAccessLogDir.c_str(), tmv, &path);
  static char s_szLine[4 * sizeof escRequest.m + 256];  // guarded by g_AccessLogLock
  int n = snprintf(s_szLine, sizeof s_szLine,
                   "%s - %s [%02d/%s/%04d:%02d:%02d:%02d +0900] \"%s\" %d %" PRIu64 " \"%s\" \"%s\"\n", szClient,
                   user.nLen ? escUser.m : "-", tmv.nDay, kMonths[tmv.nMonth - 1], tmv.nYear, tmv.nHour, tmv.nMinute,
                   tmv.nSecond, escRequest.m, nStatus, nBytes, escReferer.m, escAgent.m);
  if (n < 0) return;
  size_t nLen = static_cast<size_t>(n) < sizeof s_szLine ? static_cast<size_t>(n) : sizeof s_szLine - 1;
  PlatAppendFile(path.c_str(), s_szLine, nLen);
}
