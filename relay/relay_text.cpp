#include "relay/relay_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/fixed_text.h"
#include "platform/plat_time.h"

namespace {

std::mutex g_MailIdLock;
unsigned long g_nMailIdCounter = 0;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The literal announcement at the end of an IMAP line: "{" digits ["+"]
// "}" CR LF ("~{" for BINARY literals ends the same way).  Follows each
// byte of a line.
void LiteralStep(LineScan *s, char c) {
  if (c == '{') {
    s->nLitState = 1;
    s->nLitDigits = 0;
    s->nLitValue = 0;
    s->bLitPlus = 0;
    return;
  }
  switch (s->nLitState) {
    case 1:
    case 2:
      if (c >= '0' && c <= '9') {
        s->nLitState = 2;
        // More digits than any size needs: saturate, the size is absurd.
        if (++s->nLitDigits <= 18) s->nLitValue = s->nLitValue * 10 + (c - '0');
        return;
      }
      if (s->nLitState == 2 && c == '+') {
        s->nLitState = 3;
        s->bLitPlus = 1;
        return;
      }
      if (s->nLitState == 2 && c == '}') {
        s->nLitState = 4;
        return;
      }
      break;
    case 3:
      if (c == '}') {
        s->nLitState = 4;
        return;
      }
      break;
    case 4:
      if (c == '\r') {
        s->nLitState = 5;
        return;
      }
      break;
    default:
      break;
  }
  s->nLitState = 0;
}

// Decides whether the line just ended completes the command or reply.
void LineEnded(LineScan *s, int bCrLf) {
  const char *h = s->mHead;
  const bool bDotLine = s->nLen == 3 && h[0] == '.' && h[1] == '\r' && h[2] == '\n';
  const bool bTagged = s->bTagOk && s->nLen > s->nTag;
  const bool bLogicalStart = !s->bAfterLiteral;
  if (s->nLen > s->nLongest) s->nLongest = s->nLen;
  ++s->nLines;
  // IMAP literal announced at the end of this line.
  if (s->nProto == kProtoImap4 && s->nLitState == 5 && !(s->bClient && s->nKind != 0)) {
    const long long nSize = s->nLitValue;
    const bool bAbsurd = s->nLitDigits > 10 || nSize > kImapLiteralMax;
    if (s->bClient) {
      if (bAbsurd) {
        s->bBadLiteral = 1;
        s->bDone = 1;
        return;
      }
      // "{N+}": the literal follows at once and belongs to this command;
      // "{N}": the command waits for the server's continuation.
      if (!s->bLitPlus) {
        s->nSyncLiteral = nSize;
        s->bDone = 1;
        return;
      }
    }
    s->nLiteral = nSize;
    s->bAfterLiteral = 1;
    return;
  }
  s->bAfterLiteral = 0;
  if (s->bClient) {
    if (s->nKind == 1 ? bDotLine : bCrLf) s->bDone = 1;
    return;
  }
  int bDone = 0;
  if (s->nProto == kProtoFtp) {
    // Only the last line of a reply ("nnn text") ends it.
    bDone = bCrLf && s->nLen >= 4 && h[3] == ' ';
  } else if (s->nProto == kProtoImap4) {
    if (!bLogicalStart || !bCrLf) {
      bDone = 0;
    } else if (s->nKind == 0 && h[0] == '+' && h[1] == ' ') {
      s->bContinuation = 1;
      bDone = 1;
    } else if (s->nKind != 2 && bTagged) {
      bDone = 1;
    }
  } else if (s->nProto == kProtoPop3 && (s->nKind == 1 || s->bMultiLine)) {
    // Only the status line decides on failure; a body line that reads
    // "-ERR" or "+OK" is body, and a message ends at its "." line only.
    bDone = bDotLine || (s->nLines == 1 && StartsNoCase(h, "-err"));
  } else if (s->nKind == 1) {
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

// Output of the SMTP body rewriting.
void BodyNewLine(SmtpBody *b, char *pOut, std::size_t *pn) {
  pOut[(*pn)++] = '\r';
  pOut[(*pn)++] = '\n';
  b->bOutLineStart = 1;
}

void BodyChar(SmtpBody *b, char c, char *pOut, std::size_t *pn) {
  if (c == '\r') {
    b->nState = 4;
    return;
  }
  if (c == '\n') {
    // A bare LF ends a line for some servers: it becomes CR LF, and what
    // follows is not at the start of an SMTP line (no terminator).
    BodyNewLine(b, pOut, pn);
    b->nState = 3;
    return;
  }
  if (b->bOutLineStart && c == '.') pOut[(*pn)++] = '.';
  pOut[(*pn)++] = c;
  b->bOutLineStart = 0;
  b->nState = 3;
}

}  // namespace

void LineScanInit(LineScan *pScan, int nProto, int nKind, int bClient, int bMultiLine, const char *szTag) {
  std::memset(pScan, 0, sizeof *pScan);
  pScan->nProto = nProto;
  pScan->nKind = nKind;
  pScan->bClient = bClient;
  pScan->bMultiLine = bMultiLine;
  pScan->nSyncLiteral = -1;
  pScan->pTag = szTag ? szTag : "";
  pScan->nTag = std::strlen(pScan->pTag);
  pScan->bAtLineStart = 1;
  pScan->bTagOk = 1;
}

int LineScanFeed(LineScan *pScan, const char *p, std::size_t n, std::size_t *pnUsed) {
  *pnUsed = n;
  if (pScan->bDone) {
    *pnUsed = 0;
    return 1;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (pScan->nLiteral > 0) {
      // Literal data is passed whole; the line goes on after it.
      std::size_t nTake = n - i;
      if (static_cast<long long>(nTake) > pScan->nLiteral) nTake = static_cast<std::size_t>(pScan->nLiteral);
      pScan->nLiteral -= static_cast<long long>(nTake);
      i += nTake - 1;
      pScan->bCr = 0;
      pScan->bAtLineStart = 0;
      continue;
    }
    char c = p[i];
    pScan->bAtLineStart = 0;
    if (pScan->nHead < kLineHeadSize - 1) pScan->mHead[pScan->nHead++] = c;
    pScan->mHead[pScan->nHead] = '\0';
    if (pScan->bTagOk && pScan->nLen < pScan->nTag && Lower(c) != Lower(pScan->pTag[pScan->nLen])) pScan->bTagOk = 0;
    ++pScan->nLen;
    if (c == '\n') {
      LineEnded(pScan, pScan->bCr);
      pScan->nHead = 0;
      pScan->nLen = 0;
      pScan->bCr = 0;
      pScan->bTagOk = 1;
      pScan->nLitState = 0;
      pScan->mHead[0] = '\0';
      pScan->bAtLineStart = pScan->nLiteral == 0 && !pScan->bAfterLiteral;
      if (pScan->bDone) {
        *pnUsed = i + 1;
        return 1;
      }
      continue;
    }
    pScan->bCr = c == '\r';
    if (pScan->nProto == kProtoImap4) LiteralStep(pScan, c);
  }
  return 0;
}

void SmtpBodyInit(SmtpBody *pBody) {
  pBody->nState = 0;
  pBody->bOutLineStart = 1;
  pBody->bDone = 0;
}

int SmtpBodyFeed(SmtpBody *b, const char *p, std::size_t n, char *pOut, std::size_t *pnOut, std::size_t *pnUsed) {
  std::size_t nOut = 0;
  *pnUsed = n;
  for (std::size_t i = 0; i < n && !b->bDone; ++i) {
    const char c = p[i];
    switch (b->nState) {
      case 0:  // start of an SMTP line
        if (c == '.') {
          b->nState = 1;
        } else {
          BodyChar(b, c, pOut, &nOut);
        }
        break;
      case 1:  // "." at a line start: the terminator, or a stuffing dot
        if (c == '\r') {
          b->nState = 2;
        } else {
          BodyChar(b, c, pOut, &nOut);
        }
        break;
      case 2:  // ".\r" at a line start
        if (c == '\n') {
          std::memcpy(pOut + nOut, ".\r\n", 3);
          nOut += 3;
          b->bDone = 1;
          *pnUsed = i + 1;
        } else {
          // The dot was a stuffing dot; the CR stands alone.
          BodyNewLine(b, pOut, &nOut);
          BodyChar(b, c, pOut, &nOut);
        }
        break;
      case 4:  // CR in a line
        if (c == '\n') {
          BodyNewLine(b, pOut, &nOut);
          b->nState = 0;
        } else {
          BodyNewLine(b, pOut, &nOut);
          BodyChar(b, c, pOut, &nOut);
        }
        break;
      default:  // in a line
        BodyChar(b, c, pOut, &nOut);
        break;
    }
  }
  *pnOut = nOut;
  return b->bDone;
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

std::size_t FilterEhloReply(char *p, std::size_t n, std::size_t nCap, int bStartTls) {
  if (n < 4 || ReplyCode(p) != 250) return n;
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
    // The greeting line (the first) is never an extension.
    bool bDrop = i > 0 && nLine >= 4 && ReplyCode(szHead) / 100 == 2 &&
                 (StartsNoCase(szHead + 4, "CHUNKING") || StartsNoCase(szHead + 4, "BINARYMIME") ||
                  StartsNoCase(szHead + 4, "STARTTLS"));
    if (bDrop) {
      if (szHead[3] == ' ' && nLastKept != static_cast<std::size_t>(-1)) p[nLastKept + 3] = ' ';
    } else {
      std::memmove(p + nOut, p + i, nLine);
      nLastKept = nOut;
      nOut += nLine;
    }
    i += nLine;
  }
  static const char kLine[] = "250 STARTTLS\r\n";
  if (bStartTls && nLastKept != static_cast<std::size_t>(-1) && nOut + sizeof kLine - 1 <= nCap) {
    p[nLastKept + 3] = '-';
    std::memcpy(p + nOut, kLine, sizeof kLine - 1);
    nOut += sizeof kLine - 1;
  }
  return nOut;
}

std::size_t FilterCapaReply(char *p, std::size_t n, std::size_t nCap, int bStls) {
  if (!StartsNoCase(p, "+OK")) return n;
  std::size_t nOut = 0;
  std::size_t nDot = static_cast<std::size_t>(-1);  // where the final "." line went
  std::size_t i = 0;
  while (i < n) {
    const char *pEnd = static_cast<const char *>(std::memchr(p + i, '\n', n - i));
    std::size_t nLine = pEnd ? static_cast<std::size_t>(pEnd - (p + i)) + 1 : n - i;
    std::size_t nText = nLine;
    while (nText > 0 && (p[i + nText - 1] == '\n' || p[i + nText - 1] == '\r')) --nText;
    bool bStlsLine = i > 0 && nText == 4 && StartsNoCase(p + i, "STLS");
    if (!bStlsLine) {
      if (i > 0 && nText == 1 && p[i] == '.' && nDot == static_cast<std::size_t>(-1)) nDot = nOut;
      std::memmove(p + nOut, p + i, nLine);
      nOut += nLine;
    }
    i += nLine;
  }
  static const char kLine[] = "STLS\r\n";
  if (bStls && nDot != static_cast<std::size_t>(-1) && nOut + sizeof kLine - 1 <= nCap) {
    std::memmove(p + nDot + sizeof kLine - 1, p + nDot, nOut - nDot);
    std::memcpy(p + nDot, kLine, sizeof kLine - 1);
    nOut += sizeof kLine - 1;
  }
  return nOut;
}

std::size_t FilterImapCapability(char *p, std::size_t n) {
  // Only lines that list capabilities: "* CAPABILITY ..." or a response
  // code "[CAPABILITY ...]".
  char szHead[64];
  std::size_t nHead = n < sizeof szHead - 1 ? n : sizeof szHead - 1;
  std::memcpy(szHead, p, nHead);
  szHead[nHead] = '\0';
  const char *pList = nullptr;
  if (StartsNoCase(szHead, "* CAPABILITY ")) {
    pList = p;
  } else {
    for (std::size_t i = 0; i + 12 <= n; ++i) {
      if (p[i] == '[' && StartsNoCase(p + i, "[CAPABILITY ")) {
        pList = p + i;
        break;
      }
      if (p[i] == ']' || p[i] == '\n') break;
    }
  }
  if (!pList) return n;
  std::size_t i = static_cast<std::size_t>(pList - p);
  while (i < n && p[i] != ']' && p[i] != '\r' && p[i] != '\n') {
    // A word " STARTTLS" followed by a blank, "]" or the line end.
    static const char kWord[] = " STARTTLS";
    const std::size_t nWord = sizeof kWord - 1;
    if (p[i] == ' ' && i + nWord <= n && StartsNoCase(p + i, kWord) &&
        (i + nWord == n || p[i + nWord] == ' ' || p[i + nWord] == ']' || p[i + nWord] == '\r' ||
         p[i + nWord] == '\n')) {
      std::memmove(p + i, p + i + nWord, n - i - nWord);
      n -= nWord;
      continue;
    }
    ++i;
  }
  return n;
}
