#include "relay/relay_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/fixed_text.h"
#include "platform/plat_time.h"

namespace {

std::mutex g_MailIdLock;
unsigned long g_nMailIdCounter = 0;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int EqualsNoCase(const char *a, const char *b) {
  for (; *a && *b; ++a, ++b)
    if (Lower(*a) != Lower(*b)) return 0;
  return *a == *b;
}

// A line (its first nHead characters, ending in CR LF) that ends with an
// IMAP literal announcement "{N}" or "{N+}".
int ImapLiteralAtEnd(const char *h, std::size_t nHead, long long *pnSize, int *pbNonSync) {
  if (nHead < 5 || h[nHead - 1] != '\n' || h[nHead - 2] != '\r' || h[nHead - 3] != '}') return 0;
  std::size_t i = nHead - 3;
  *pbNonSync = 0;
  if (h[i - 1] == '+') {
    *pbNonSync = 1;
    --i;
  }
  std::size_t nEnd = i;
  while (i > 0 && h[i - 1] >= '0' && h[i - 1] <= '9') --i;
  if (i == nEnd || i == 0 || h[i - 1] != '{' || nEnd - i > 12) return 0;
  long long n = 0;
  for (std::size_t k = i; k < nEnd; ++k) n = n * 10 + (h[k] - '0');
  *pnSize = n;
  return 1;
}

// Decides whether the line just ended completes the command or reply.
void LineEnded(LineScan *s, int bCrLf) {
  const char *h = s->mHead;
  const bool bDotLine = s->nLen == 3 && h[0] == '.' && h[1] == '\r' && h[2] == '\n';
  ++s->nLines;
  if (s->bClient) {
    if (s->nProto == kProtoImap4 && s->nKind == 0 && bCrLf) {
      // "{N+}": the literal follows at once and belongs to this command;
      // "{N}": the command waits for the server's continuation.
      long long nSize = 0;
      int bNonSync = 0;
      if (ImapLiteralAtEnd(h, s->nHead, &nSize, &bNonSync)) {
        if (bNonSync) {
          s->nLiteral = nSize;
          return;
        }
        s->nSyncLiteral = nSize;
      }
    }
    if (s->nKind == 1 ? bDotLine : bCrLf) s->bDone = 1;
    return;
  }
  int bDone = 0;
  if (s->nProto == kProtoFtp) {
    // Only the last line of a reply ("nnn text") ends it.
    bDone = bCrLf && s->nLen >= 4 && h[3] == ' ';
  } else if (s->nProto == kProtoImap4) {
    if (s->nKind == 0 && bCrLf && h[0] == '+' && h[1] == ' ') {
      s->bContinuation = 1;
      bDone = 1;
    } else if (s->nKind != 2 && bCrLf && StartsNoCase(h, s->mTag)) {
      bDone = 1;
    }
  } else if (s->nKind == 1) {
    bDone = bDotLine || (s->nProto == kProtoPop3 && StartsNoCase(h, "-err"));
  } else if (s->nProto == kProtoPop3 && s->bMultiLine) {
    bDone = bDotLine;
  } else {
    // An SMTP reply goes on while its lines read "nnn-"; only the last line
    // ("nnn " or a bare code) ends it.
    bDone = bCrLf && !(s->nProto == kProtoSmtp && s->nLen >= 4 && h[3] == '-');
  }
  if (bDone) {
    s->bDone = 1;
    s->nCode = ReplyCode(h);
  }
}

}  // namespace

int StartsNoCase(const char *s, const char *szPrefix) {
  for (; *szPrefix; ++s, ++szPrefix)
    if (*s == '\0' || Lower(*s) != Lower(*szPrefix)) return 0;
  return 1;
}

void LineScanInit(LineScan *pScan, int nProto, int nKind, int bClient, int bMultiLine, const char *szTag) {
  std::memset(pScan, 0, sizeof *pScan);
  pScan->nProto = nProto;
  pScan->nKind = nKind;
  pScan->bClient = bClient;
  pScan->bMultiLine = bMultiLine;
  pScan->nSyncLiteral = -1;
  CopyText(pScan->mTag, sizeof pScan->mTag, szTag ? szTag : "");
}

int LineScanFeed(LineScan *pScan, const char *p, std::size_t n, std::size_t *pnUsed) {
  *pnUsed = n;
  if (pScan->bDone) {
    *pnUsed = 0;
    return 1;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (pScan->nLiteral > 0) {
      // Literal data is passed whole; the command line goes on after it.
      std::size_t nTake = n - i;
      if (static_cast<long long>(nTake) > pScan->nLiteral) nTake = static_cast<std::size_t>(pScan->nLiteral);
      pScan->nLiteral -= static_cast<long long>(nTake);
      i += nTake - 1;
      pScan->bCr = 0;
      continue;
    }
    char c = p[i];
    if (pScan->nHead < kLineHeadSize - 1) pScan->mHead[pScan->nHead++] = c;
    pScan->mHead[pScan->nHead] = '\0';
    ++pScan->nLen;
    if (c == '\n') {
      LineEnded(pScan, pScan->bCr);
      pScan->nHead = 0;
      pScan->nLen = 0;
      pScan->bCr = 0;
      pScan->mHead[0] = '\0';
      if (pScan->bDone) {
        *pnUsed = i + 1;
        return 1;
      }
      continue;
    }
    pScan->bCr = c == '\r';
  }
  return 0;
}

void ClassifyCommand(int nProto, const char *szLine, CommandClass *pClass) {
  pClass->nResult = 0;
  pClass->nMailState = -1;
  pClass->bTop = 0;
  pClass->nTopMsg = 0;
  if (nProto == kProtoImap4) {
    const char *pBlank = std::strchr(szLine, ' ');
    if (!pBlank) return;
    const char *pCmd = pBlank + 1;
    if (EqualsNoCase(pCmd, "logout\r\n")) {
      pClass->nResult = 1;
      pClass->nMailState = 2;
    } else if (StartsNoCase(pCmd, "fetch ") || StartsNoCase(pCmd, "uid fetch ")) {
      pClass->nResult = 2;
      pClass->nMailState = 3;
    } else if (StartsNoCase(pCmd, "select ")) {
      pClass->nResult = 2;
      pClass->nMailState = 4;
    } else {
      pClass->nMailState = 1;
    }
    return;
  }
  const char *szEnd = nullptr;
  const char *szMessage = nullptr;
  if (nProto == kProtoSmtp) {
    szEnd = "quit\r\n";
    szMessage = "data";
  } else if (nProto == kProtoPop3) {
    szEnd = "quit\r\n";
    szMessage = "retr ";
  }
  if (!szEnd) return;
  if (EqualsNoCase(szLine, szEnd)) {
    pClass->nResult = 1;
  } else if (StartsNoCase(szLine, szMessage)) {
    pClass->nResult = 2;
  } else if (nProto == kProtoPop3 && StartsNoCase(szLine, "top ")) {
    pClass->nResult = 2;
    pClass->bTop = 1;
    pClass->nTopMsg = std::strtoul(szLine + 4, nullptr, 10);
  }
}

void ImapTagOf(const char *szLine, char *pOut, std::size_t nOut) {
  const char *pEnd = std::strchr(szLine, ' ');
  if (!pEnd) pEnd = std::strchr(szLine, '\r');
  if (!pEnd) pEnd = std::strchr(szLine, '\n');
  std::size_t nLen = pEnd ? static_cast<std::size_t>(pEnd - szLine) : std::strlen(szLine);
  if (nOut < 2) {
    if (nOut) pOut[0] = '\0';
    return;
  }
  if (nLen > nOut - 2) nLen = nOut - 2;
  std::memcpy(pOut, szLine, nLen);
  pOut[nLen] = ' ';
  pOut[nLen + 1] = '\0';
}

void MailAddress(const char *szLine, char *pOut, std::size_t nOut) {
  const char *p = std::strchr(szLine, ':');
  p = p ? p + 1 : szLine;
  while (*p == ' ' || *p == '<') ++p;
  std::size_t nLen = std::strcspn(p, ">\r\n");
  if (nOut == 0) return;
  if (nLen > nOut - 1) nLen = nOut - 1;
  std::memcpy(pOut, p, nLen);
  pOut[nLen] = '\0';
}

int TopLineCount(const char *szLine, long *pnLines) {
  if (!StartsNoCase(szLine, "top ")) return 0;
  char szCopy[1024];
  CopyText(szCopy, sizeof szCopy, szLine);
  szCopy[std::strcspn(szCopy, "\r\n")] = '\0';
  const char *pBlank = std::strrchr(szCopy, ' ');
  *pnLines = pBlank ? std::atol(pBlank + 1) : 0;
  return 1;
}

int ReplyCode(const char *szLine) {
  for (int i = 0; i < 3; ++i)
    if (szLine[i] < '0' || szLine[i] > '9') return 0;
  return (szLine[0] - '0') * 100 + (szLine[1] - '0') * 10 + (szLine[2] - '0');
}

void MakeMailId(char *pOut, std::size_t nOut) {
  int nMillis = 0;
  int64_t nNow = PlatNow(&nMillis);
  PlatTm t;
  PlatLocalTime(nNow, &t);
  unsigned long nCount;
  {
    std::lock_guard<std::mutex> guard(g_MailIdLock);
    nCount = g_nMailIdCounter++;
  }
  std::snprintf(pOut, nOut, "%04d%02d%02d%02d%02d%02d%03d.%08lu", t.nYear, t.nMonth, t.nDay, t.nHour, t.nMinute,
                t.nSecond, nMillis, nCount);
}

void MakeBoundary(char *pOut, std::size_t nOut) {
  int nMillis = 0;
  int64_t nNow = PlatNow(&nMillis);
  PlatTm t;
  PlatUtcTime(nNow, &t);
  std::snprintf(pOut, nOut, "----%s_%04d%02d%02d%02d%02d%02d%03d==", "", t.nYear, t.nMonth, t.nDay, t.nHour,
                t.nMinute, t.nSecond, nMillis);
}

std::size_t FilterEhloReply(char *p, std::size_t n) {
  std::size_t nOut = 0;
  std::size_t nLastKept = static_cast<std::size_t>(-1);  // start of the last line kept
  std::size_t i = 0;
  while (i < n) {
    const char *pEnd = static_cast<const char *>(std::memchr(p + i, '\n', n - i));
    std::size_t nLine = pEnd ? static_cast<std::size_t>(pEnd - (p + i)) + 1 : n - i;
    char szHead[16] = "";
    std::size_t nHead = nLine < sizeof szHead - 1 ? nLine : sizeof szHead - 1;
    std::memcpy(szHead, p + i, nHead);
    szHead[nHead] = '\0';
    bool bDrop = nLine >= 4 && ReplyCode(szHead) / 100 == 2 &&
                 (StartsNoCase(szHead + 4, "CHUNKING") || StartsNoCase(szHead + 4, "BINARYMIME"));
    if (bDrop) {
      if (szHead[3] == ' ' && nLastKept != static_cast<std::size_t>(-1)) p[nLastKept + 3] = ' ';
    } else {
      std::memmove(p + nOut, p + i, nLine);
      nLastKept = nOut;
      nOut += nLine;
    }
    i += nLine;
  }
  return nOut;
}
