#include "http/rewrite.h"

#include <strings.h>

#include <cstring>
#include <new>

#include "base/fixed_text.h"
#include "base/limits.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/connection_record.h"
#include "core/spool_file.h"
#include "net/http_io.h"
#include "http/http_text.h"

namespace {

constexpr std::size_t kViaSize = 512;

// The value after the header name and one blank begins with szWord.
int ValueStarts(const char *szLine, std::size_t nNameLen, const char *szWord) {
  if (strlen(szLine) <= nNameLen) return 0;
  return StartsNoCase(szLine + nNameLen + 1, szWord);
}

int IsUpgradeLine(const char *szLine) {
  return StartsNoCase(szLine, "upgrade:") || StartsNoCase(szLine, "connection: upgrade") ||
         StartsNoCase(szLine, "proxy-connection: upgrade");
}

constexpr const char kCloseLine[] = "Connection: close\r\n";

// 1 when a Connection value lists the "close" option.
int HasCloseToken(const char *szValue) {
  for (const char *p = szValue;;) {
    p += strspn(p, " \t,");
    std::size_t nTok = strcspn(p, " \t,;\r\n");
    if (nTok == 0) return 0;
    if (nTok == 5 && strncasecmp(p, "close", 5) == 0) return 1;
    p += nTok;
  }
}

}  // namespace

void DeliverResponseHeader(ConnectionRecord *pRec, FILE *pFile, const char *szVersion, int nMode) {
  if (g_bHeaderRewrite)
    SetVIAResponseHeader(pRec, pFile, szVersion, nMode);
  else if (!pRec->bKeepAlive)
    SetVIAResponseHeader(pRec, pFile, szVersion, kResponseCloseOnly);
}

void MakeViaValue(const char *szVersion, const char *szLocalName, char *pOut, std::size_t nOutSize) {
  const char *pSlash = strchr(szVersion, '/');
  const char *pNum = pSlash ? pSlash + 1 : szVersion;
  int nNum = static_cast<int>(strcspn(pNum, " \r\n"));
  snprintf(pOut, nOutSize, "%.*s %s (%s %s)\r\n", nNum, pNum, szLocalName, "Q-RELAY Server", kVersion);
}

int RewriteResponseHeader(ConnectionRecord *pRec, FILE *pFile, const char *szVersion, int nMode,
                          char *pOut, std::size_t nOutSize, std::size_t *pnLen, int *pbEnd) {
  char *szLine = pRec->mRecv;
  std::size_t nLen = 0;
  *pbEnd = 0;
  char szVia[kViaSize] = "";
  int bViaDone = 0;
  int bFirst = 1;
  int bHttp10 = 0;     // an HTTP/1.0 answer tells the close by its version
  int bCloseSaid = 0;  // a Connection line with "close" is in the output
  pOut[0] = '\0';
  // Appends when it fits; 0 means the buffer is full.
  auto add = [&](const char *p, std::size_t n) {
    if (nLen + n >= nOutSize) return 0;
    memcpy(pOut + nLen, p, n);
    nLen += n;
    pOut[nLen] = '\0';
    return 1;
  };
  // The offset of each line is counted here rather than asked of the file
  // (ftell costs a system call per line).
  long nPos = ftell(pFile);
  std::size_t n = 0;
  for (;;) {
    nPos += static_cast<long>(n);
    n = ReadLine(pFile, szLine, kRecvChunk + 1);
    if (n == 0 && !bFirst) break;
    if (bFirst && (n == 0 || !StartsNoCase(szLine, "http/"))) {
      DebugLogF("[SetVIAResponseHeader] [%04d] Header not found.\n", pRec->nSock);
      rewind(pFile);
      *pnLen = 0;
      pOut[0] = '\0';
      return 0;
    }
    bFirst = 0;
    char szExtra[1024];
    szExtra[0] = '\0';
    const char *pPut = szLine;
    std::size_t nPut = n;
    char szRepl[kViaSize + kRecvChunk];
    if (StartsNoCase(szLine, "http/1.") && strncmp(szLine + 5, "1.0", 3) == 0) {
      pRec->bKeepAlive = 0;
      bHttp10 = 1;
    }
    int bEnd = strcmp(szLine, "\r\n") == 0 || strcmp(szLine, "\n") == 0 || strcmp(szLine, "\r") == 0;
    if (StartsNoCase(szLine, "connection:") && HasCloseToken(szLine + 11)) bCloseSaid = 1;
    if (nMode == kResponseCloseOnly) {
      // Only the announcement of the close is added; every line stays.
      if (bEnd && !pRec->bKeepAlive && !bCloseSaid && !bHttp10 && !add(kCloseLine, strlen(kCloseLine))) {
        fseek(pFile, nPos, SEEK_SET);
        break;
      }
      if (!add(szLine, n)) {
        fseek(pFile, nPos, SEEK_SET);
        break;
      }
      if (bEnd) {
        *pbEnd = 1;
        break;
      }
      continue;
    }
    if (IsUpgradeLine(szLine)) continue;
    if ((StartsNoCase(szLine, "connection:") && ValueStarts(szLine, 11, "close")) ||
        (StartsNoCase(szLine, "cneonction:") && ValueStarts(szLine, 11, "close")) ||
        (StartsNoCase(szLine, "nncoection:") && ValueStarts(szLine, 11, "close"))) {
      pRec->bKeepAlive = 0;
      pPut = kCloseLine;
      nPut = strlen(pPut);
    } else if (StartsNoCase(szLine, "proxy-connection:") && ValueStarts(szLine, 17, "close")) {
      pRec->bKeepAlive = 0;
    } else if (StartsNoCase(szLine, "http/")) {
      if (nMode == kResponseCache) {
        int nAt = 0;
        if (g_bForwarded)
          nAt += snprintf(szExtra + nAt, sizeof szExtra - nAt, "Forwarded: by http://%s:%d (%s %s) for %s\r\n",
                          pRec->mLocalName.c_str(), static_cast<int>(pRec->nLocalPort), "Q-RELAY Server",
                          kVersion, pRec->mClientIP.c_str());
        if (g_bRemoteHostWp && nAt < static_cast<int>(sizeof szExtra))
          nAt += snprintf(szExtra + nAt, sizeof szExtra - nAt, "Remote-Host-Wp: %s\r\n", pRec->mClientIP.c_str());
        if (g_bXForwardedFor && nAt < static_cast<int>(sizeof szExtra))
          snprintf(szExtra + nAt, sizeof szExtra - nAt, "X-Forwarded-For: %s\r\n", pRec->mClientIP.c_str());
      }
      if (strncmp(szLine + 5, "1.0", 3) == 0) bViaDone = 1;
      MakeViaValue(szVersion, pRec->mLocalName.c_str(), szVia, sizeof szVia);
    } else if (nMode == kResponseCache && !bViaDone && StartsNoCase(szLine, "via:")) {
      std::size_t nKeep = strcspn(szLine, "\r\n");
      nPut = static_cast<std::size_t>(snprintf(szRepl, sizeof szRepl, "%.*s,%s", static_cast<int>(nKeep), szLine, szVia));
      if (nPut >= sizeof szRepl) nPut = sizeof szRepl - 1;
      pPut = szRepl;
      bViaDone = 1;
    }
    if (bEnd && nMode == kResponseCache && !bViaDone) {
      nPut = static_cast<std::size_t>(snprintf(szRepl, sizeof szRepl, "VIA: %s\r\n", szVia));
      pPut = szRepl;
    }
    if (bEnd && !pRec->bKeepAlive && !bCloseSaid && !bHttp10) {
      // The client connection ends after this answer: say so (RFC 9112
      // 9.6), so a client that expected it to persist does not retry.
      CopyText(szExtra, sizeof szExtra, pPut);
      pPut = kCloseLine;
      nPut = strlen(kCloseLine);
      bCloseSaid = 1;
    }
    std::size_t nExtra = strlen(szExtra);
    if (nLen + nPut + nExtra >= nOutSize) {
      // The rest of an oversized header goes out unchanged after this part.
      fseek(pFile, nPos, SEEK_SET);
      break;
    }
    add(pPut, nPut);
    add(szExtra, nExtra);
    if (pPut == kCloseLine) bCloseSaid = 1;
    if (bEnd) {
      *pbEnd = 1;
      break;
    }
  }
  *pnLen = nLen;
  return 1;
}

void SetVIAResponseHeader(ConnectionRecord *pRec, FILE *pFile, const char *szVersion, int nMode) {
  char *pOut = new (std::nothrow) char[kHttpHeaderOut + 1];
  if (pOut == nullptr) return;
  std::size_t nLen = 0;
  int bEnd = 0;
  if (RewriteResponseHeader(pRec, pFile, szVersion, nMode, pOut, kHttpHeaderOut + 1, &nLen, &bEnd)) {
    DebugLogF("[SetVIAResponseHeader] [%04d] bHEnd = %s / Header size = %d\n", pRec->nSock,
              bEnd ? "found" : "not found", static_cast<int>(nLen));
    int n = HttpSendClient(pRec, pOut, nLen);
    DebugLogF("[SetVIAResponseHeader] [%04d] Responseheader [\n%s]\n", pRec->nSock, pOut);
    DebugLogF("[SetVIAResponseHeader] [%04d] C:send(%04d):%d bytes\n", pRec->nSock, pRec->nSock, n);
    if (n < 0)
      DebugLogF("[SetVIAResponseHeader] [%04d] send(%04d): WSAGetLastError() = %d\n", pRec->nSock, pRec->nSock,
                HttpLastError());
  }
  delete[] pOut;
}
