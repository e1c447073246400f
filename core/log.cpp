#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <strings.h>

#include "core/base64.h"
#include "core/fixed_text.h"
#include "core/limits.h"
#include "core/settings.h"
#include "platform/plat_file.h"
#include "platform/plat_time.h"

namespace {

std::mutex g_LogLock;
std::mutex g_AccessLogLock;
LogClockFn g_pfnClock = nullptr;

int64_t LogNow(int *pMillis) { return g_pfnClock ? g_pfnClock(pMillis) : PlatNow(pMillis); }

constexpr const char *kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Daily file of a folder: "folder/yyyymmdd.log".
void DailyFileName(const char *szFolder, const PlatTm &tmv, PathText *pPath) {
  pPath->Format("%s/%04d%02d%02d.log", szFolder, tmv.nYear, tmv.nMonth, tmv.nDay);
}

// Reads one line of at most nSize-1 characters as fgets does and cuts it at
// its first CR or LF.  Returns 0 at the end of the file.
int ReadCutLine(FILE *fp, char *pBuf, int nSize) {
  if (!fgets(pBuf, nSize, fp)) return 0;
  pBuf[strcspn(pBuf, "\r\n")] = '\0';
  return 1;
}

// The value after a header name: leading spaces skipped, copied into pOut.
void HeaderValue(const char *szLine, size_t nNameLen, char *pOut, size_t nOutSize) {
  const char *p = szLine + nNameLen;
  while (*p == ' ') ++p;
  CopyText(pOut, nOutSize, p);
}

}  // namespace

void SetLogClock(LogClockFn fn) { g_pfnClock = fn; }

bool DebugLogEnabled() { return g_bLogFile || g_bLogConsole; }

void DebugLog(const char *szLine) {
  if (!g_bLogFile && !g_bLogConsole) return;
  static char s_szBuf[kLogLineSize + 32];  // time stamp + line; guarded by g_LogLock
  std::lock_guard<std::mutex> lock(g_LogLock);
  int nMillis = 0;
  int64_t nNow = LogNow(&nMillis);
  PlatTm tmv;
  PlatLocalTime(nNow, &tmv);
  int n = snprintf(s_szBuf, sizeof s_szBuf, "[%02d:%02d:%02d:%03d] %s", tmv.nHour, tmv.nMinute, tmv.nSecond,
                   nMillis, szLine);
  if (n < 0) return;
  size_t nLen = static_cast<size_t>(n);
  if (nLen >= sizeof s_szBuf) {  // cut, but still one whole line
    nLen = sizeof s_szBuf - 1;
    s_szBuf[nLen - 1] = '\n';
  }
  if (g_bLogFile) {
    PathText path;
    DailyFileName(g_szLogDir.c_str(), tmv, &path);
    PlatAppendFile(path.c_str(), s_szBuf, nLen);
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
  int n = vsnprintf(szLine, sizeof szLine, szFmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) >= sizeof szLine) szLine[sizeof szLine - 2] = '\n';  // keep the line end of a cut line
  DebugLog(szLine);
}

void AccessLog(const char *szRequestFile, const char *szClient, int nStatus, unsigned long nBytes) {
  if (!g_bAccessLog) return;
  char szRequest[kAccessField] = "";
  char szUser[kAccessField] = "";
  char szReferer[kAccessField] = "";
  char szAgent[kAccessField] = "";
  FILE *fp = fopen(szRequestFile, "rb");
  if (fp) {
    if (ReadCutLine(fp, szRequest, sizeof szRequest) && szRequest[0] != '\0') {
      char szLine[kAccessField - 1];
      while (ReadCutLine(fp, szLine, sizeof szLine) && szLine[0] != '\0') {
        if (strncasecmp(szLine, "user-agent:", 11) == 0) {
          HeaderValue(szLine, 11, szAgent, sizeof szAgent);
        } else if (strncasecmp(szLine, "referer:", 8) == 0) {
          HeaderValue(szLine, 8, szReferer, sizeof szReferer);
        } else if (strncasecmp(szLine, "authorization:", 14) == 0) {
          const char *p = szLine + 14;
          while (*p == ' ') ++p;
          if (strncasecmp(p, "basic ", 6) == 0) {
            Base64Decode(p + 6, szUser, sizeof szUser);
            szUser[strcspn(szUser, ":")] = '\0';
          }
        }
      }
    }
    fclose(fp);
  }
  std::lock_guard<std::mutex> lock(g_AccessLogLock);
  int64_t nNow = LogNow(nullptr);
  PlatTm tmv;
  PlatLocalTime(nNow, &tmv);
  PathText path;
  DailyFileName(g_szAccessLogDir.c_str(), tmv, &path);
  char szLine[4 * kAccessField + 256];
  int n = snprintf(szLine, sizeof szLine, "%s - %s [%02d/%s/%04d:%02d:%02d:%02d +0900] \"%s\" %d %lu \"%s\" \"%s\"\n",
                   szClient, szUser[0] ? szUser : "-", tmv.nDay, kMonths[tmv.nMonth - 1], tmv.nYear, tmv.nHour,
                   tmv.nMinute, tmv.nSecond, szRequest, nStatus, nBytes, szReferer, szAgent);
  if (n < 0) return;
  size_t nLen = static_cast<size_t>(n) < sizeof szLine ? static_cast<size_t>(n) : sizeof szLine - 1;
  PlatAppendFile(path.c_str(), szLine, nLen);
}
