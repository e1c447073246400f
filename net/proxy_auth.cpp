#include "net/proxy_auth.h"

#include <cstdio>
#include <cstring>

#include "base/fixed_text.h"
#include "core/base64.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/text_lines.h"

namespace {

constexpr std::size_t kAuthLine = 512;  // 511 characters a line

// Walks the auth list and calls fnMatch(entry) for every entry ("user:pass",
// the text before the first ",", CR or LF of a non-comment line).  Returns
// the first entry that matched (copied into pEntry), or 0 when none did.
template <typename Fn>
int FindAuthEntry(Fn fnMatch, char *pEntry, size_t nEntry) {
  if (g_szAuthFile.Empty()) return 0;
  FILE *fp = fopen(g_szAuthFile.c_str(), "rb");
  if (!fp) return 0;
  char szLine[kAuthLine];
  int nFound = 0;
  // Only the first 511 characters of a line count.
  while (!nFound && ReadCappedLine(fp, szLine, static_cast<int>(sizeof szLine))) {
    char c0 = szLine[0];
    if (c0 == ' ' || c0 == '"' || c0 == '\'') continue;
    szLine[strcspn(szLine, ",\r\n")] = '\0';
    // An empty line would otherwise accept empty credentials.
    if (szLine[0] == '\0') continue;
    if (fnMatch(szLine)) {
      CopyText(pEntry, nEntry, szLine);
      nFound = 1;
    }
  }
  fclose(fp);
  return nFound;
}

// The user part of an entry: the text before its first ":".
void UserPart(const char *szEntry, char *pOut, size_t nOut) {
  CopyText(pOut, nOut, szEntry);
  pOut[strcspn(pOut, ":")] = '\0';
}

}  // namespace

int ComperTokenB64(ConnectionRecord *pRec) {
  if (strnlen(pRec->mLine, kAuthHeaderLen) < kAuthHeaderLen) return 0;
  const char *szGiven = pRec->mLine + kAuthHeaderLen;
  char szEntry[kAuthLine];
  auto fnMatch = [szGiven](const char *szCandidate) {
    char szB64[kAuthLine * 2];
    Base64Encode(szCandidate, strlen(szCandidate), szB64, sizeof szB64);
    return strcmp(szB64, szGiven) == 0;
  };
  if (!FindAuthEntry(fnMatch, szEntry, sizeof szEntry)) return 0;
  char szUser[kAuthLine];
  UserPart(szEntry, szUser, sizeof szUser);
  DebugLogF("[ComperTokenB64] [%04d] Proxy-Authorization success. [%s]\n", pRec->nSock, szUser);
  return 1;
}

int ComperToken(int nSock, const char *szCredentials) {
  char szEntry[kAuthLine];
  auto fnMatch = [szCredentials](const char *szCandidate) { return strcmp(szCandidate, szCredentials) == 0; };
  if (!FindAuthEntry(fnMatch, szEntry, sizeof szEntry)) return 0;
  char szUser[kAuthLine];
  UserPart(szEntry, szUser, sizeof szUser);
  DebugLogF("[ComperToken] [%04d] Proxy-Authorization success. [%s]\n", nSock, szUser);
  return 1;
}
