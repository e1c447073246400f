#include "http/cache.h"

#include <strings.h>

#include <cinttypes>
#include <climits>
#include <cstring>
#include <new>

#include "base/fixed_text.h"
#include "base/limits.h"
#include "core/lists.h"
#include "core/log.h"
#include "core/number_text.h"
#include "core/settings.h"
#include "core/text_lines.h"
#include "http/http_text.h"
#include "platform/plat_digest.h"
#include "platform/plat_file.h"
#include "platform/plat_time.h"

namespace {

constexpr uint64_t kUnitsPerSecond = 10000000ull;
constexpr uint64_t kUnitsPerMinute = 600000000ull;
// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochGapSec = 11644473600ll;
constexpr std::size_t kNoCacheLine = 1024;
constexpr std::size_t kExpiresText = 256;
constexpr std::size_t kCacheHeaderLine = 16385;

const char *const kMonths[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                 "jul", "aug", "sep", "oct", "nov", "dec"};

// Reads a decimal number at *pp, advancing it; -1 when there are no digits.
long ReadNumber(const char **pp) {
  uint64_t n = 0;
  if (ReadDecimalDigits(pp, INT_MAX, 100000000, &n) == 0) return -1;
  return static_cast<long>(n);
}

void SkipSeparators(const char **pp) {
  while (**pp == ' ' || **pp == '-' || **pp == '\t') ++*pp;
}

void SkipBlanks(const char **pp) {
  while (**pp == ' ' || **pp == '\t') ++*pp;
}

uint64_t SecondsToFileTime(int64_t nSec) {
  if (nSec <= -kEpochGapSec) return 0;
  return CacheTimeAfter(0, static_cast<uint64_t>(nSec + kEpochGapSec), kUnitsPerSecond);
}

}  // namespace

uint64_t CacheTimeAfter(uint64_t nBase, uint64_t nCount, uint64_t nUnit) {
  const uint64_t kMax = UINT64_MAX;
  if (nUnit != 0 && nCount > kMax / nUnit) return kMax;
  uint64_t nAdd = nCount * nUnit;
  return nAdd > kMax - nBase ? kMax : nBase + nAdd;
}

namespace {

void LogTimeLine(const char *szFmt, int nSock, uint64_t nFileTime) {
  FileTimeParts t;
  SplitFileTime(nFileTime, &t);
  DebugLogF(szFmt, nSock, t.nYear, t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond);
}

// The standard offset of the local zone now (daylight saving removed).
long StandardOffset() {
  PlatTm tm;
  PlatLocalTime(PlatNow(nullptr), &tm);
  return tm.nGmtOff - (tm.bDst > 0 ? 3600 : 0);
}

}  // namespace

void SplitFileTime(uint64_t nFileTime, FileTimeParts *pParts) {
  int64_t nSec = static_cast<int64_t>(nFileTime / kUnitsPerSecond) - kEpochGapSec;
  PlatTm tm;
  PlatUtcTime(nSec, &tm);
  pParts->nYear = tm.nYear;
  pParts->nMonth = tm.nMonth;
  pParts->nDay = tm.nDay;
  pParts->nHour = tm.nHour;
  pParts->nMinute = tm.nMinute;
  pParts->nSecond = tm.nSecond;
}

int BuildHttpCacheKey(const char *szUser, const char *szHost, int nPort, const char *szRequestLine,
                      char *pOut, std::size_t nOutSize) {
  // Scheme and host are case-insensitive (RFC 3986 6.2.2.1); the path and
  // query keep their case: "/Doc" and "/doc" are different resources.
  const char *szLine = szRequestLine;
  const char *pPath = "/";
  if (strncasecmp(szLine, "get http://", 11) == 0) {
    // The path starts within the URL, never in the version after it.
    std::size_t nUrl = strcspn(szLine + 11, " \r\n");
    const char *pSlash = static_cast<const char *>(memchr(szLine + 11, '/', nUrl));
    if (pSlash != nullptr) pPath = pSlash;
  } else {
    const char *pGet = strcasestr(szLine, "get ");
    pPath = pGet ? pGet + 4 : szLine + strlen(szLine);
  }
  FixedText<kCacheKeySize> host;
  host.Assign(szHost);
  LowerText(host.data());
  int nPathLen = static_cast<int>(strcspn(pPath, " \r\n"));
  int n = snprintf(pOut, nOutSize, "http,%s,%s,%d,%.*s", szUser, host.c_str(), nPort, nPathLen, pPath);
  return n >= 0 && static_cast<std::size_t>(n) < nOutSize;
}

int PrivateHeaderLine(const char *szLine) {
  if (StartsNoCase(szLine, "set-cookie:")) return 1;
  if (StartsNoCase(szLine, "cache-control:")) {
    char szLow[512];
    CopyTextLower(szLow, szLine, sizeof szLow);
    return strstr(szLow, "private") != nullptr || strstr(szLow, "no-store") != nullptr ||
           strstr(szLow, "no-cache") != nullptr;
  }
  if (StartsNoCase(szLine, "pragma:")) {
    char szLow[512];
    CopyTextLower(szLow, szLine, sizeof szLow);
    return strstr(szLow, "no-cache") != nullptr;
  }
  if (StartsNoCase(szLine, "vary:")) {
    // Only a variation by Accept-Encoding is the same answer for everyone
    // this proxy serves (it drops that header towards servers).
    const char *p = szLine + 5;
    while (*p != '\0' && *p != '\r' && *p != '\n') {
      p += strspn(p, " \t,");
      std::size_t nTok = strcspn(p, " \t,\r\n");
      if (nTok == 0) break;
      if (!(nTok == 15 && strncasecmp(p, "accept-encoding", 15) == 0)) return 1;
      p += nTok;
    }
  }
  return 0;
}

int HttpHeaderPrivate(FILE *pFile, int bRequest) {
  char *szLine = new (std::nothrow) char[kCacheHeaderLine];
  if (szLine == nullptr) return 1;
  int bPrivate = 0;
  int bFirst = 1;
  while (!bPrivate && ReadFileLine(pFile, szLine, kCacheHeaderLine, LongLine::kSplit) > 0) {
    if (szLine[0] == '\r' || szLine[0] == '\n') break;
    if (bFirst) {
      bFirst = 0;
      continue;
    }
    if (bRequest)
      bPrivate = StartsNoCase(szLine, "authorization:") || StartsNoCase(szLine, "cookie:");
    else
      bPrivate = PrivateHeaderLine(szLine);
  }
  delete[] szLine;
  return bPrivate;
}

int HttpFilePrivate(const char *szPath, int bRequest) {
  FILE *pFile = PlatSpoolOpenRetry(szPath, "rb", 1);
  if (pFile == nullptr) return 1;
  int bPrivate = HttpHeaderPrivate(pFile, bRequest);
  fclose(pFile);
  return bPrivate;
}

int CacheDigest(const char *szKey, char szHex[33]) { return PlatMd5Hex(szKey, strlen(szKey), szHex); }

int Query_NoCache(int nSock, const char *szKey) {
  DebugLogF("[Query_NoCache] [%04d] '%s' start.\n", nSock, szKey);
  FILE *pFile = fopen(g_szNoCacheFile.c_str(), "r");
  if (pFile == nullptr) return 0;
  LineSource src = FileLineSource(pFile);
  int nHit = ForEachLine<kNoCacheLine>(&src, LineRules{LongLine::kSplit, " '", 0},
                                       [&](char *szLine) { return TextMatch(szLine, szKey); });
  fclose(pFile);
  if (nHit) DebugLogF("[Query_NoCache] [%04d] '%s' hit.\n", nSock, szKey);
  return nHit;
}

int ParseExpiresDate(const char *szValue, long nStdOffsetSec, uint64_t *pFileTime) {
  char szText[kExpiresText];
  CopyText(szText, sizeof szText, szValue);
  // Zone offset "+hhmm" east or "-hhmm" west; a "-" inside a date reads 0.
  long nZoneSec = 0;
  const char *pSign = strchr(szText, '+');
  int nDir = 1;
  if (pSign == nullptr) {
    pSign = strchr(szText, '-');
    nDir = -1;
  }
  if (pSign != nullptr) {
    const char *p = pSign + 1;
    long n = ReadNumber(&p);
    if (n > 0) nZoneSec = nDir * ((n / 100) * 3600 + (n % 100) * 60);
  }
  // After the first ",", blanks skipped.
  const char *p = strchr(szText, ',');
  p = p ? p + 1 : szText;
  SkipBlanks(&p);
  long nFirst = ReadNumber(&p);
  if (nFirst < 0) return 0;
  long nYear, nMonth, nDay;
  if (nFirst < 32) {
    // 3a. Day, month name, year.
    nDay = nFirst;
    SkipSeparators(&p);
    nMonth = 0;
    for (int i = 0; i < 12; ++i)
      if (strncasecmp(p, kMonths[i], 3) == 0) nMonth = i + 1;
    if (nMonth == 0) return 0;
    while (*p && *p != ' ' && *p != '-') ++p;
    SkipSeparators(&p);
    nYear = ReadNumber(&p);
    if (nYear >= 0 && nYear < 70) nYear += 2000;  // two-digit years of old dates
    else if (nYear >= 70 && nYear < 100) nYear += 1900;
  } else {
    // 3b. Year, month and day as numbers.
    nYear = nFirst;
    SkipSeparators(&p);
    nMonth = ReadNumber(&p);
    SkipSeparators(&p);
    nDay = ReadNumber(&p);
  }
  if (nYear < 1601 || nYear > 30000 || nMonth < 1 || nMonth > 12 || nDay < 1 || nDay > 31) return 0;
  // The next blank-separated field: hh:mm:ss.
  while (*p && *p != ' ') ++p;
  SkipBlanks(&p);
  long nHour = ReadNumber(&p);
  long nMinute = 0, nSecond = 0;
  const char *pColon = strchr(p, ':');
  if (pColon != nullptr) {
    p = pColon + 1;
    nMinute = ReadNumber(&p);
    pColon = strchr(p, ':');
    if (pColon != nullptr) {
      p = pColon + 1;
      nSecond = ReadNumber(&p);
    }
  }
  if (nHour < 0 || nHour > 23 || nMinute < 0 || nMinute > 59 || nSecond < 0 || nSecond > 60) return 0;
  // UTC of the stated zone, then local standard time.
  PlatTm tm{};
  tm.nYear = static_cast<int>(nYear);
  tm.nMonth = static_cast<int>(nMonth);
  tm.nDay = static_cast<int>(nDay);
  tm.nHour = static_cast<int>(nHour);
  tm.nMinute = static_cast<int>(nMinute);
  tm.nSecond = static_cast<int>(nSecond);
  int64_t nSec = PlatMakeUtc(&tm) - nZoneSec + nStdOffsetSec;
  if (nSec < -kEpochGapSec) return 0;
  *pFileTime = SecondsToFileTime(nSec);
  return 1;
}

int CachedHeaderFresh(FILE *pFile, int nSock, uint64_t nNow, uint64_t nStored, long nStdOffsetSec) {
  char *szLine = new (std::nothrow) char[kCacheHeaderLine];
  if (szLine == nullptr) return 1;
  int bFresh = 1;
  while (bFresh && ReadFileLine(pFile, szLine, kCacheHeaderLine, LongLine::kSplit) > 0) {
    if (strcmp(szLine, "\r\n") == 0) break;
    // Another user's answer is never served, however fresh.
    if (PrivateHeaderLine(szLine)) {
      bFresh = 0;
      break;
    }
    LowerText(szLine);
    if (strncmp(szLine, "expires:", 8) == 0) {
      const char *v = szLine + 8;
      SkipBlanks(&v);
      uint64_t nDate = 0;
      if (!ParseExpiresDate(v, nStdOffsetSec, &nDate)) {
        // An unreadable date cannot vouch for the copy.
        bFresh = 0;
        break;
      }
      LogTimeLine("[GetDispatch] [%04d] [Cache] expire time = %04d/%02d/%02d %02d:%02d:%02d\n", nSock, nDate);
      DebugLogF("[GetDispatch] [%04d] [Cache] HTTP(expires) = %s. (%" PRIu64 " > %" PRIu64 ")\n", nSock,
                nNow <= nDate ? "on" : "off", nNow, nDate);
      if (nNow > nDate) bFresh = 0;
    } else if (strncmp(szLine, "pragma:", 7) == 0) {
      if (strstr(szLine, "no-cache") != nullptr) bFresh = 0;
    } else if (strncmp(szLine, "cache-control:", 14) == 0) {
      if (strstr(szLine, "public") == nullptr || strstr(szLine, "no-cache") != nullptr) bFresh = 0;
      const char *pMax = strstr(szLine, "max-age=");
      if (pMax != nullptr) {
        uint64_t nLimit = CacheTimeAfter(nStored, ParseDecimal(pMax + 8), kUnitsPerSecond);
        DebugLogF("[GetDispatch] [%04d] HTTP Cache(maxage) = %s. (%" PRIu64 " > %" PRIu64 ")\n", nSock,
                  nNow <= nLimit ? "on" : "off", nNow, nLimit);
        if (nNow > nLimit) bFresh = 0;
      }
    }
  }
  delete[] szLine;
  return bFresh;
}

int HttpCacheFresh(const char *szPath, int nSock, unsigned nCacheMin) {
  uint64_t nSize = 0;
  int64_t nMTime = 0;
  if (PlatFileInfo(szPath, &nSize, &nMTime) != 1) return -1;
  uint64_t nNow = PlatLocalFileTime();
  LogTimeLine("[GetDispatch] [%04d] [Cache] current time = %04d/%02d/%02d %02d:%02d:%02d\n", nSock, nNow);
  uint64_t nStored = PlatToLocalFileTime(nMTime);
  LogTimeLine("[GetDispatch] [%04d] [Cache] Last write time = %04d/%02d/%02d %02d:%02d:%02d\n", nSock, nStored);
  if (nSize == 0) return 0;
  uint64_t nExpire = CacheTimeAfter(nStored, nCacheMin, kUnitsPerMinute);
  LogTimeLine("[GetDispatch] [%04d] [Cache] expire time = %04d/%02d/%02d %02d:%02d:%02d\n", nSock, nExpire);
  DebugLogF("[GetDispatch] [%04d] [Cache] HTTP = %s. (%" PRIu64 " <= %" PRIu64 ")\n", nSock,
            nNow <= nExpire ? "using" : "expired", nNow, nExpire);
  if (nNow > nExpire) return 0;
  FILE *pFile = PlatSpoolOpenRetry(szPath, "rb", 1);
  if (pFile == nullptr) return 1;
  int bFresh = CachedHeaderFresh(pFile, nSock, nNow, nStored, StandardOffset());
  fclose(pFile);
  return bFresh;
}
