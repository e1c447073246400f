#include "http/target.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "ftp/ftp_client.h"
#include "http/http_text.h"

namespace {

// Takes the port text after a ":" (up to a blank or the line end) into
// *pnPort; an empty one keeps the default.  1 done, -1 not a port.
int TakePort(const char *pText, int *pnPort) {
  int nPort = ParsePortText(pText, strcspn(pText, " \r\n"));
  if (nPort < 0) return -1;
  if (nPort > 0) *pnPort = nPort;
  return 1;
}

// A URL names an IPv6 server in square brackets ("[::1]:8080"), since its
// colons would otherwise be taken for the port separator.  Strips the
// brackets in place and takes the port that follows "]:".  Returns 1 when
// the host was bracketed, 0 when not, -1 when its port is no port.
int TakeBracketedHost(char *szHost, int *pnPort) {
  if (szHost[0] != '[') return 0;
  char *pClose = strchr(szHost, ']');
  if (pClose == nullptr) return 0;
  if (pClose[1] == ':' && TakePort(pClose + 2, pnPort) < 0) return -1;
  size_t nLen = static_cast<size_t>(pClose - szHost - 1);
  memmove(szHost, szHost + 1, nLen);
  szHost[nLen] = '\0';
  return 1;
}

// Position of the last blank of the line, or nullptr.
const char *LastBlank(const char *szLine) { return strrchr(szLine, ' '); }

// The text of [p, pEnd) as a view.
std::string_view Span(const char *p, const char *pEnd) {
  return std::string_view(p, static_cast<std::size_t>(pEnd - p));
}

// Fills the URL text: from the first letter of the scheme name (the letters
// just before "://") up to the last blank of the line.
void TakeUrlText(const char *szLine, const char *pScheme, RequestTarget *pT) {
  const char *pStart = pScheme;
  while (pStart > szLine && isalpha(static_cast<unsigned char>(pStart[-1]))) --pStart;
  const char *pEnd = LastBlank(szLine);
  if (pEnd == nullptr || pEnd < pStart) pEnd = pStart + strlen(pStart);
  pT->mUrl.Assign(Span(pStart, pEnd));
}

// The ftp parts of an absolute ftp URL.  pAfter points behind "://".
int AnalyzeFtp(const char *szLine, const char *pScheme, const char *pAfter, const char *szLocalIP,
               RequestTarget *pT) {
  pT->bFtp = 1;
  pT->mFtpUser.Assign("anonymous");
  pT->mFtpPass.Assign("Q-RELAY@");
  // User information ends at the first "@" of the authority; an "@" in the
  // path belongs to the path.
  const char *pAuthEnd = pAfter + strcspn(pAfter, "/ \r\n");
  const char *pAt = static_cast<const char *>(memchr(pAfter, '@', static_cast<std::size_t>(pAuthEnd - pAfter)));
  const char *pHost = pAfter;
  if (pAt != nullptr) {
    const char *pColon = static_cast<const char *>(memchr(pAfter, ':', static_cast<std::size_t>(pAt - pAfter)));
    if (pColon != nullptr) {
      if (!pT->mFtpUser.Assign(Span(pAfter, pColon))) return -1;
      if (!pT->mFtpPass.Assign(Span(pColon + 1, pAt))) return -1;
    }
    pHost = pAt + 1;
  }
  pT->mHost.Assign(pHost);
  // Directory: from the first "/" up to the first blank.
  const char *pSlash = strchr(pHost, '/');
  pT->mFtpCmd.Assign("LIST");
  if (pSlash != nullptr) {
    const char *pDirEnd = pSlash + strcspn(pSlash, " \r\n");
    if (!pT->mFtpDir.Assign(Span(pSlash, pDirEnd))) return -1;
    const char *szDir = pT->mFtpDir.c_str();
    const char *pDot = strrchr(szDir, '.');
    const char *pLastSlash = strrchr(szDir, '/');
    if (pDot != nullptr && pDot > pLastSlash && strlen(pDot + 1) <= 4) {
      if (!pT->mFtpFile.Assign(pLastSlash + 1)) return -1;
      pT->mFtpDir.Assign(std::string_view(szDir, static_cast<std::size_t>(pLastSlash + 1 - szDir)));
      pT->mFtpCmd.Assign("RETR");
    }
  }
  // A part that decodes to CR, LF or NUL would carry a command of its own
  // to the FTP server: the URL is refused before anything is sent.
  if (!FtpUrlPartSafe(pT->mFtpUser.c_str()) || !FtpUrlPartSafe(pT->mFtpPass.c_str()) ||
      !FtpUrlPartSafe(pT->mFtpDir.c_str()) || !FtpUrlPartSafe(pT->mFtpFile.c_str()))
    return -1;
  pT->nPort = 21;
  TakeUrlText(szLine, pScheme, pT);
  std::size_t nHostWord = strcspn(pHost, " ");
  pT->mListKey.Format("%s,get,tcp,%.*s,%d", szLocalIP, static_cast<int>(nHostWord), pHost, 21);
  pT->bListLookup = 1;
  pT->bKeyUsed = 1;
  return 1;
}

}  // namespace

int AnalyzeRequestTarget(const char *szLine, int nHandler, int bSocks, const char *szHostHeader,
                         const char *szLocalIP, RequestTarget *pT) {
  pT->mVersion.Clear();
  pT->bAbsolute = pT->bFtp = pT->bListLookup = pT->bKeyUsed = 0;
  pT->mHost.Clear();
  pT->mUrl.Clear();
  pT->mListKey.Clear();
  pT->mFtpUser.Clear();
  pT->mFtpPass.Clear();
  pT->mFtpDir.Clear();
  pT->mFtpFile.Clear();
  pT->mFtpCmd.Clear();
  pT->nPort = 80;

  // Version: the last word must begin with "http/".
  const char *pBlank = LastBlank(szLine);
  const char *pWord = pBlank ? pBlank + 1 : szLine;
  if (!StartsNoCase(pWord, "http/")) return 0;
  pT->mVersion.Assign(std::string_view(pWord, strnlen(pWord, 10)));
  char *pCut = strpbrk(pT->mVersion.data(), "\r\n");
  if (pCut) *pCut = '\0';

  // Absolute form: a scheme and "://" within the first twelve characters.
  const char *pScheme = strstr(szLine, "://");
  pT->bAbsolute = pScheme != nullptr && pScheme - szLine <= 12;

  if (pT->bAbsolute) {
    const char *pAfter = pScheme + 3;
    // ftp (GET only): " ftp" right before "://".
    if (nHandler == kHandlerGet && pScheme - szLine >= 4 && strncasecmp(pScheme - 4, " ftp", 4) == 0)
      return AnalyzeFtp(szLine, pScheme, pAfter, szLocalIP, pT);
    // HTTP: host text up to the first blank, path included.
    pT->mHost.Assign(Span(pAfter, pAfter + strcspn(pAfter, " ")));
    TakeUrlText(szLine, pScheme, pT);
    pT->bListLookup = 1;
    if (nHandler == kHandlerGet) {
      pT->bKeyUsed = 1;
      pT->mListKey.Format("%s,get,tcp,%s,%d", szLocalIP, pT->mHost.c_str(), 80);
    }
    return 1;
  }

  if (!bSocks) {
    // Origin form: only a connect-table entry can route it.
    if (nHandler == kHandlerGet)
      pT->mHost.Assign(Span(szLine, szLine + strcspn(szLine, " \r\n")));
    else
      pT->mHost.Assign(std::string_view(szLine, strnlen(szLine, 255)));
    return 1;
  }

  // Origin form over SOCKS: the Host header names the server.
  pT->mHost.Assign(szHostHeader ? szHostHeader : "");
  // A bracketed IPv6 server keeps its brackets here; the port follows "]:".
  char *szHostText = pT->mHost.data();
  char *pClose = szHostText[0] == '[' ? strchr(szHostText, ']') : nullptr;
  char *pColon = pClose != nullptr ? (pClose[1] == ':' ? pClose + 1 : nullptr) : strchr(szHostText, ':');
  if (pColon != nullptr) {
    if (TakePort(pColon + 1, &pT->nPort) < 0) return -1;
    *pColon = '\0';
  }
  if (pT->nPort == 80)
    pT->mUrl.Format("http://%s/", pT->mHost.c_str());
  else if (pT->nPort == 443)
    pT->mUrl.Format("https://%s/,", pT->mHost.c_str());
  else
    pT->mUrl.Format("http://%s:%d/", pT->mHost.c_str(), pT->nPort);
  const char *pPath = strchr(szLine, '/');
  if (pPath != nullptr) pT->mUrl.Append(pPath + 1);
  char *pLast = strrchr(pT->mUrl.data(), ' ');
  if (pLast != nullptr) *pLast = '\0';
  pT->mListKey.Format("%s,get,tcp,%s,%d", szLocalIP, pT->mHost.c_str(), pT->nPort);
  pT->bListLookup = 1;
  pT->bKeyUsed = 1;
  return 1;
}

int SplitHostPort(RequestTarget *pT, int bAnyColon) {
  char *szHost = pT->mHost.data();
  char *pSlash = strchr(szHost, '/');
  if (pSlash != nullptr) *pSlash = '\0';
  int nBracketed = TakeBracketedHost(szHost, &pT->nPort);
  if (nBracketed != 0) return nBracketed;
  char *pColon = strchr(szHost, ':');
  if (pColon == nullptr) return 1;
  if (!bAnyColon && strchr(pColon + 1, ':') != nullptr) return 1;  // IPv6 text
  if (TakePort(pColon + 1, &pT->nPort) < 0) return -1;
  *pColon = '\0';
  return 1;
}

int MakeResponseSpoolName(const char *szDataDir, int nMode, int nSock, const char *szHostText,
                          char *pOut, std::size_t nOutSize, int *pbLongLink) {
  *pbLongLink = 0;
  int n = snprintf(pOut, nOutSize, "%sreq-%d-%04d_%s", szDataDir, nMode, nSock, "proxy.tmp");
  const char *pSlash = strchr(szHostText, '/');
  if (pSlash != nullptr) {
    n = snprintf(pOut, nOutSize, "%s%s/req-%d-%04d_index.html", szDataDir, "cache", nMode, nSock);
    const char *pRest = pSlash + 1;
    const char *pBlank = strchr(pRest, ' ');
    if (pBlank != nullptr) {
      // The path up to the blank names the file, made safe as one name.
      char szPath[kSpoolLinkMax + 1];
      std::size_t nLen = static_cast<std::size_t>(pBlank - pRest);
      if (nLen > kSpoolLinkMax) {
        nLen = kSpoolLinkMax;
        *pbLongLink = 1;
      }
      for (std::size_t i = 0; i < nLen; ++i) {
        char c = pRest[i];
        szPath[i] = strchr("\\/:*?<>|", c) != nullptr ? '_' : c;
      }
      szPath[nLen] = '\0';
      if (nLen > 0 && szPath[nLen - 1] == '_')
        n = snprintf(pOut, nOutSize, "%s%s/req-%d-%04d_%s_index.html", szDataDir, "cache", nMode, nSock, szPath);
      else
        n = snprintf(pOut, nOutSize, "%s%s/req-%d-%04d_%s", szDataDir, "cache", nMode, nSock,
                     nLen ? szPath : "index.html");
    }
  }
  return n >= 0 && static_cast<std::size_t>(n) < nOutSize;
}
