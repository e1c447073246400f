// The HTTP response cache: key text, MD5 file names, the no-cache list and
// the freshness rules (-M age, "expires:", "pragma:", "cache-control:").
#ifndef PROXY_HTTP_CACHE_H_
#define PROXY_HTTP_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Key text "http,USER,HOST,PORT,PATH" for a request line (method and
// scheme in any case; the host is lower-cased, the path keeps its case).  The path starts at the first "/" after "get http://"
// ("/" when none), otherwise after "get ", and ends at a blank or line end.
// Returns 1, or 0 when the key does not fit in nOutSize (no caching then:
// a cut key could name another URL's copy).
int BuildHttpCacheKey(const char *szUser, const char *szHost, int nPort, const char *szRequestLine,
                      char *pOut, std::size_t nOutSize);

// 1 when a response header line makes the answer private to its user or
// unfit for storing: Set-Cookie, Cache-Control private, no-store or
// no-cache, Pragma no-cache, Vary on anything but Accept-Encoding.
int PrivateHeaderLine(const char *szLine);
// Reads the header of an open message (at its start): for a request
// (bRequest 1) 1 when it carries Authorization or Cookie; for a response 1
// when a line is private as above.  Leaves the file anywhere.
int HttpHeaderPrivate(FILE *pFile, int bRequest);
// The same for a file; a file that cannot be opened counts as private.
int HttpFilePrivate(const char *szPath, int bRequest);

// MD5 digest of a key as 32 lower-case hex digits.  Returns 1 or -1.
int CacheDigest(const char *szKey, char szHex[33]);

// 1 when a pattern of the no-cache list matches szKey, else 0 (also when
// the list is missing).  Logs the start and hit lines with nSock.
int Query_NoCache(int nSock, const char *szKey);

// nBase + nCount x nUnit in file-time units, saturating at the largest
// value instead of wrapping (a huge max-age means "fresh for ever", never
// "expired long ago").
uint64_t CacheTimeAfter(uint64_t nBase, uint64_t nCount, uint64_t nUnit);

// Parses the date of an "expires:" value (text after the colon) into local
// file-time units (100 ns since 1601), applying its zone offset and the
// standard (non-daylight) offset nStdOffsetSec of the local zone.
// Returns 1, or 0 for a date that cannot be read (unknown month name,
// numbers out of range): the caller then treats the copy as stale.
int ParseExpiresDate(const char *szValue, long nStdOffsetSec, uint64_t *pFileTime);

// Tests the header of an open cached response against now (local file
// time) and its storing time: "expires:", "pragma: no-cache",
// "cache-control:" and max-age.  Logs as the lookup does.  Returns 1 when
// the header allows serving it, 0 when it is stale.
int CachedHeaderFresh(FILE *pFile, int nSock, uint64_t nNow, uint64_t nStored, long nStdOffsetSec);

// Whole freshness test of a cache file: age against nCacheMin minutes,
// then the header.  Returns 1 fresh, 0 stale or empty, -1 missing.
int HttpCacheFresh(const char *szPath, int nSock, unsigned nCacheMin);

// Writes "YYYY/MM/DD hh:mm:ss" parts of a file time for log lines.
struct FileTimeParts {
  int nYear, nMonth, nDay, nHour, nMinute, nSecond;
};
void SplitFileTime(uint64_t nFileTime, FileTimeParts *pParts);

#endif  // PROXY_HTTP_CACHE_H_
