#include "http/compose.h"

#include <cstring>

#include "base/fixed_text.h"
#include "base/limits.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/connection_record.h"
#include "core/spool_file.h"
#include "net/http_io.h"
#include "http/http_text.h"
#include "http/rewrite.h"
#include "http/target.h"

namespace {

constexpr std::size_t kRequestLine = 16384;  // 16,383 characters and the NUL
constexpr std::size_t kViaSize = 512;

int IsUpgradeLine(const char *szLine) {
  return StartsNoCase(szLine, "upgrade:") || StartsNoCase(szLine, "connection: upgrade") ||
         StartsNoCase(szLine, "proxy-connection: upgrade");
}

// The field names a request's Connection lines list ("x-a,keep-alive,"),
// lower-cased, each followed by a comma.  The framing fields and Host are
// never among them: dropping those would change what the request is.
using ConnectionNames = FixedText<1024>;

void CollectConnectionNames(FILE *pIn, char *szLine, ConnectionNames *pNames) {
  pNames->Clear();
  long nStart = ftell(pIn);
  while (ReadLine(pIn, szLine, kRequestLine) > 0) {
    if (strcmp(szLine, "\r\n") == 0 || strcmp(szLine, "\n") == 0) break;
    if (!StartsNoCase(szLine, "connection:")) continue;
    const char *p = szLine + 11;
    for (;;) {
      p += strspn(p, " \t,");
      std::size_t nTok = strcspn(p, " \t,;\r\n");
      if (nTok == 0) break;
      char szName[128];
      if (nTok < sizeof szName) {
        memcpy(szName, p, nTok);
        szName[nTok] = '\0';
        LowerText(szName);
        if (strcmp(szName, "content-length") != 0 && strcmp(szName, "transfer-encoding") != 0 &&
            strcmp(szName, "host") != 0)
          pNames->AppendFormat("%s,", szName);
      }
      p += nTok;
    }
  }
  fseek(pIn, nStart, SEEK_SET);
}

// 1 when the header line's field is one the Connection lines name.
int NamedByConnection(const char *szLine, const ConnectionNames &names) {
  std::size_t nName = strcspn(szLine, ":\r\n");
  if (szLine[nName] != ':' || nName == 0) return 0;
  for (const char *p = names.c_str(); *p != '\0';) {
    const char *pComma = strchr(p, ',');
    std::size_t nTok = static_cast<std::size_t>(pComma - p);
    if (nTok == nName && strncasecmp(p, szLine, nName) == 0) return 1;
    p = pComma + 1;
  }
  return 0;
}

// 1 when the Connection lines name the option szWord (lower case).
int ConnectionNamed(const ConnectionNames &names, const char *szWord) {
  std::size_t nWord = strlen(szWord);
  for (const char *p = names.c_str(); *p != '\0';) {
    const char *pComma = strchr(p, ',');
    if (static_cast<std::size_t>(pComma - p) == nWord && strncmp(p, szWord, nWord) == 0) return 1;
    p = pComma + 1;
  }
  return 0;
}

int SinkPuts(RequestSink *pSink, const char *sz) { return SinkWrite(pSink, sz, strlen(sz)); }

// Writes the request line of a direct absolute-form request in origin form:
// the method and its blank, then the path from the first "/" after "://"
// (the version and everything after it follow unchanged); "/" when the URL
// has no path.
void WriteOriginForm(RequestSink *pSink, const char *szLine) {
  const char *pScheme = strstr(szLine, "://");
  const char *pMethodEnd = strchr(szLine, ' ');
  if (pScheme == nullptr || pMethodEnd == nullptr || pMethodEnd > pScheme) {
    SinkPuts(pSink, szLine);
    return;
  }
  SinkWrite(pSink, szLine, static_cast<std::size_t>(pMethodEnd + 1 - szLine));
  const char *pAuthority = pScheme + 3;
  std::size_t nUrl = strcspn(pAuthority, " \r\n");
  const char *pPath = static_cast<const char *>(memchr(pAuthority, '/', nUrl));
  if (pPath != nullptr) {
    SinkPuts(pSink, pPath);
  } else {
    // A query without a path ("http://host?x") keeps its query after "/".
    const char *pQuery = static_cast<const char *>(memchr(pAuthority, '?', nUrl));
    SinkPuts(pSink, "/");
    SinkPuts(pSink, pQuery ? pQuery : pAuthority + nUrl);
  }
}

}  // namespace

int SinkWrite(RequestSink *pSink, const char *p, std::size_t nLen) {
  if (pSink->bFailed) return 0;
  if (nLen == 0) return 1;
  if (pSink->pFile != nullptr) {
    if (fwrite(p, 1, nLen, pSink->pFile) != nLen) pSink->bFailed = 1;
  } else if (pSink->pBuf != nullptr) {
    std::size_t nRoom = pSink->nCap - pSink->nLen;
    std::size_t nCopy = nLen < nRoom ? nLen : nRoom;
    memcpy(pSink->pBuf + pSink->nLen, p, nCopy);
    pSink->nLen += nCopy;
  } else {
    int n = HttpSendServer(pSink->nSvSock, p, nLen);
    if (n < 0) {
      DebugLogF("[%s] [%04d] S:send(%04d): WSAGetLastError() = %d\n", pSink->szTag, pSink->nClientSock,
                pSink->nSvSock, HttpLastError());
      pSink->bFailed = 1;
    } else {
      DebugLogF("[%s] [%04d] S:send(%04d):%d bytes\n", pSink->szTag, pSink->nClientSock, pSink->nSvSock, n);
    }
  }
  return !pSink->bFailed;
}

int ComposeRequestHeader(ConnectionRecord *pRec, FILE *pIn, const ComposeInput *pInput, RequestSink *pSink) {
  const RequestTarget *pT = pInput->pTarget;
  char *szLine = pRec->mWork;
  // The request line.
  if (ReadLine(pIn, szLine, kRequestLine) == 0) return 0;
  // SOCKS: the line names the URL the analysis made.
  if (g_nProxyMode == kModeSocks && !pT->mUrl.Empty()) {
    FixedText<kLineBufSize> line;
    line.Format("%.*s %s %s\r\n", static_cast<int>(strcspn(szLine, " \r\n")), szLine, pT->mUrl.c_str(),
                pT->mVersion.c_str());
    CopyText(szLine, kRequestLine, line.c_str());
  }
  // The Via value; HTTP/1.0 requests get no Via handling.
  char szVia[kViaSize] = "";
  int bViaDone = 0;
  const char *pLastBlank = strrchr(szLine, ' ');
  if (pLastBlank != nullptr && StartsNoCase(pLastBlank + 1, "http/")) {
    FixedText<16> version;
    version.Assign(std::string_view(pLastBlank + 1, strcspn(pLastBlank + 1, "\r\n")));
    MakeViaValue(version.c_str(), pRec->mLocalName.c_str(), szVia, sizeof szVia);
    if (strncmp(pLastBlank + 6, "1.0", 3) == 0) bViaDone = 1;
  }
  // Identification lines right after the request line.
  FixedText<1024> extra;
  extra.Clear();
  if (g_bHeaderRewrite) {
    if (g_bForwarded)
      extra.AppendFormat("Forwarded: by http://%s:%d (%s %s) for %s\r\n", pRec->mLocalName.c_str(),
                         static_cast<int>(pRec->nLocalPort), "Q-RELAY Server", kVersion, pRec->mClientIP.c_str());
    if (g_bRemoteHostWp) extra.AppendFormat("Remote-Host-Wp: %s\r\n", pRec->mClientIP.c_str());
    if (g_bXForwardedFor) extra.AppendFormat("X-Forwarded-For: %s\r\n", pRec->mClientIP.c_str());
  }
  // Request line in the form the server expects.
  int bAbsoluteLine = strstr(szLine, "://") != nullptr && pT->bAbsolute ? 1 : 0;
  if (g_nProxyMode == kModeSocks && !pT->mUrl.Empty()) bAbsoluteLine = 1;
  if (!pInput->bUpstream && bAbsoluteLine)
    WriteOriginForm(pSink, szLine);
  else
    SinkPuts(pSink, szLine);
  SinkPuts(pSink, extra.c_str());

  // The header lines.  Hop-by-hop fields stay with this hop (RFC 9110
  // 7.6.1): the client's proxy credentials and the fields its Connection
  // lines name never go on.
  ConnectionNames names;
  CollectConnectionNames(pIn, szLine, &names);
  int bHttp11 = strncasecmp(pT->mVersion.c_str(), "http/1.1", 8) == 0;
  int bViaRule = g_bHeaderRewrite && g_bViaExtend;
  // RFC 9112 9.3: an HTTP/1.1 request keeps its connection unless it asks
  // for "close" (in Connection, or in the legacy Proxy-Connection).
  int bClientClose = ConnectionNamed(names, "close");
  int bLegacyKeep = 0;
  std::size_t n;
  while ((n = ReadLine(pIn, szLine, kRequestLine)) > 0) {
    int bEnd = strcmp(szLine, "\r\n") == 0 || strcmp(szLine, "\n") == 0;
    if (bViaRule && !bViaDone && StartsNoCase(szLine, "via:")) {
      std::size_t nKeep = strcspn(szLine, "\r\n");
      SinkWrite(pSink, szLine, nKeep);
      SinkPuts(pSink, ",");
      SinkPuts(pSink, szVia);
      bViaDone = 1;
      continue;
    }
    if (bEnd) {
      if (bViaRule && !bViaDone) {
        SinkPuts(pSink, "VIA: ");
        SinkPuts(pSink, szVia);
        bViaDone = 1;
      }
      SinkPuts(pSink, "\r\n");
      break;
    }
    if (IsUpgradeLine(szLine)) continue;
    if (StartsNoCase(szLine, "proxy-authorization:") || NamedByConnection(szLine, names)) continue;
    if (StartsNoCase(szLine, "proxy-connection:")) {
      if (g_bNoKeepAlive || !bHttp11) {
        SinkPuts(pSink, "Connection: close\r\n");
        continue;
      }
      if (n > 18 && StartsNoCase(szLine + 18, "keep-alive")) bLegacyKeep = 1;
      if (n > 18 && StartsNoCase(szLine + 18, "close")) bClientClose = 1;
      if (!pInput->bUpstream) {
        SinkWrite(pSink, szLine + 6, n - 6);
        continue;
      }
    } else if (StartsNoCase(szLine, "accept-encoding:") && (!pInput->bUpstream || pInput->bAlwaysDropEncoding)) {
      continue;
    }
    SinkWrite(pSink, szLine, n);
  }
  if (!g_bNoKeepAlive && bHttp11 && !bClientClose) pRec->bKeepAlive = 1;
  if (bLegacyKeep && !bClientClose) pRec->bKeepAlive = 1;
  return 1;
}
