// MakeMail: an infected message that a mail client fetches is replaced in
// its reply file by an alert message: the received headers with a new
// subject and a multipart content type, a short text naming the virus, and
// the infected message (POP3: only its headers unless -D) attached.
#include <cstdio>
#include <cstring>
#include <new>

#include "core/log.h"
#include "core/settings.h"
#include "core/spool_file.h"
#include "platform/plat_file.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "relay/relay.h"
#include "relay/relay_text.h"

namespace {

constexpr int kOpenAttempts = 100;

bool IsEmptyLine(const char *s) { return std::strcmp(s, "\r\n") == 0 || std::strcmp(s, "\n") == 0; }
bool IsContinuation(const char *s) { return s[0] == ' ' || s[0] == '\t'; }

// Replaces the number between the last "{" and the following "}" of an
// IMAP FETCH line by nSize.
void SetLiteralSize(char *pLine, std::size_t nCap, unsigned long nSize) {
  char *pOpen = std::strrchr(pLine, '{');
  if (!pOpen) return;
  char *pClose = std::strchr(pOpen, '}');
  if (!pClose) return;
  char szTail[kRecvChunk + 1];
  CopyText(szTail, sizeof szTail, pClose);
  std::size_t nHead = static_cast<std::size_t>(pOpen + 1 - pLine);
  std::snprintf(pLine + nHead, nCap - nHead, "%lu%s", nSize, szTail);
}

// Writes the alert body (everything after the protocol line) into out.
// Returns 1 when written.
int WriteAlert(FILE *in, FILE *out, char *pWork, const char *szVirus, int bImap, long nLines, const char *szBoundary) {
  // Headers: from the second line up to the first empty line (or the end
  // of the message: the POP3 ".\r\n" or the IMAP closing line).
  std::rewind(in);
  ReadLine(in, pWork, kRecvChunk);
  long nLine = 1;
  int bSubject = 0, bType = 0;
  int nDropping = 0;  // 1 while continuation lines of a replaced header follow
  std::size_t n;
  while ((n = ReadLine(in, pWork, kRecvChunk)) > 0) {
    ++nLine;
    if (IsEmptyLine(pWork)) break;
    if (nLine == nLines && (bImap || std::strcmp(pWork, ".\r\n") == 0)) break;
    if (nDropping && IsContinuation(pWork)) continue;
    nDropping = 0;
    if (StartsNoCase(pWork, "subject:")) {
      if (!bSubject) std::fprintf(out, "Subject: Virus alert [%s]\r\n", szVirus);
      bSubject = 1;
      nDropping = 1;
      continue;
    }
    if (StartsNoCase(pWork, "content-type:")) {
      if (!bType) std::fprintf(out, "Content-Type: multipart/mixed;\r\n\tboundary=\"%s\"\r\n", szBoundary);
      bType = 1;
      nDropping = 1;
      continue;
    }
    std::fwrite(pWork, 1, n, out);
  }
  if (!bSubject) std::fprintf(out, "Subject: Virus alert [%s]\r\n", szVirus);
  if (!bType) std::fprintf(out, "Content-Type: multipart/mixed;\r\n\tboundary=\"%s\"\r\n", szBoundary);
  std::fputs("\r\n", out);
  std::fprintf(out, "--%s\r\nContent-Type: text/plain\r\n\r\n'%s' was found.\r\n\r\n", szBoundary, szVirus);
  std::fprintf(out, "--%s\r\nContent-Type: message/rfc822\r\n\r\n", szBoundary);
  // The infected message (second line on).
  std::rewind(in);
  ReadLine(in, pWork, kRecvChunk);
  nLine = 1;
  while ((n = ReadLine(in, pWork, kRecvChunk)) > 0) {
    ++nLine;
    if (nLine == nLines) {
      if (bImap) break;
      if (std::strcmp(pWork, ".\r\n") == 0) {
        std::fputs("\r\n", out);
        break;
      }
    }
    std::fwrite(pWork, 1, n, out);
    if (!bImap && g_nVirusMailKeep == 0 && IsEmptyLine(pWork)) {
      std::fputs("Sorry, deleted body...\r\n\r\n", out);
      break;
    }
  }
  std::fprintf(out, "--%s--\r\n", szBoundary);
  if (!bImap) std::fputs(".\r\n", out);
  return std::ferror(out) ? 0 : 1;
}

}  // namespace

void MakeMail(const char *szFile, char *pWork, const char *szVirus, int nProtocol) {
  DebugLogF("[MakeMail] Start. [%s] VIRUS result [%s]\n", szFile, szVirus);
  const int bImap = nProtocol == kProtoImap4 || g_nProxyMode == kModeImap4;
  FILE *in = PlatFileOpen(szFile, "rb");
  if (!in) return;
  // First pass: the protocol line, the closing line and the line count.
  char *pFirst = new (std::nothrow) char[kRecvChunk + 64];
  char *pClosing = new (std::nothrow) char[kRecvChunk + 1];
  if (!pFirst || !pClosing) {
    delete[] pFirst;
    delete[] pClosing;
    std::fclose(in);
    return;
  }
  pFirst[0] = pClosing[0] = '\0';
  long nLines = 0;
  std::size_t n;
  while ((n = ReadLine(in, pWork, kRecvChunk)) > 0) {
    if (nLines == 0) CopyText(pFirst, kRecvChunk + 1, pWork);
    std::memcpy(pClosing, pWork, n + 1);
    ++nLines;
  }
  char szBoundary[96];
  MakeBoundary(szBoundary, sizeof szBoundary);

  PathText tmp;
  tmp.Format("%s.tmp", szFile);
  FILE *out = PlatFileOpen(tmp.c_str(), "wbx");
  int bBuilt = 0;
  if (out) {
    bBuilt = WriteAlert(in, out, pWork, szVirus, bImap, nLines, szBoundary);
    if (std::fclose(out) != 0) bBuilt = 0;
  }
  std::fclose(in);
  uint64_t nSize = 0;
  int64_t nTime = 0;
  if (bBuilt && PlatFileInfo(tmp.c_str(), &nSize, &nTime) != 1) bBuilt = 0;

  FILE *dst = PlatFileOpen(szFile, "wb");
  if (dst) {
    if (!bBuilt) {
      // No alert could be built: the infected message is withheld all the
      // same; POP3 gets an error reply, IMAP an empty literal.
      if (bImap) {
        SetLiteralSize(pFirst, kRecvChunk + 64, 0);
        std::fputs(pFirst, dst);
        std::fputs(pClosing, dst);
      } else {
        std::fprintf(dst, "-ERR Virus found '%s'.\r\n", szVirus);
      }
    } else {
      if (bImap) {
        SetLiteralSize(pFirst, kRecvChunk + 64, static_cast<unsigned long>(nSize));
        std::fputs(pFirst, dst);
      } else {
        std::fprintf(dst, "+OK %lu octets\r\n", static_cast<unsigned long>(nSize));
      }
      std::fflush(dst);
      FILE *src = PlatFileOpen(tmp.c_str(), "rb");
      if (src) {
        while ((n = ReadLine(src, pWork, kRecvChunk)) > 0) {
          std::fwrite(pWork, 1, n, dst);
          std::fflush(dst);
        }
        std::fclose(src);
      }
      if (bImap) std::fputs(pClosing, dst);
    }
    std::fclose(dst);
  }
  for (int i = 0; i < kOpenAttempts; ++i) {
    FILE *check = PlatFileOpen(szFile, "rb");
    if (check) {
      std::fclose(check);
      break;
    }
    DebugLogF("[MakeMail] %s --- File open err = %d\n", szFile, PlatLastError());
    PlatSleepMs(kFilePollMs);
    FILE *create = PlatFileOpen(szFile, "ab");
    if (create) std::fclose(create);
  }
  PlatDeleteRetry(tmp.c_str(), 200);
  delete[] pFirst;
  delete[] pClosing;
}
