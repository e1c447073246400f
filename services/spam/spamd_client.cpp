#include "services/spam/spamd_client.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>
#include <vector>

#include "platform/plat_ipc.h"
#include "platform/plat_ipc_server.h"
#include "platform/plat_time.h"

namespace {

constexpr int kSpamdDefaultPort = 783;
// spamd's answer to SYMBOLS: a status line, two headers and the rule list.
constexpr int kSpamdReplySize = 65536;
constexpr int kSpamdBusyPauseMs = 10;

int ParsePort(const char *sz, int *pPort) {
  char *pEnd = nullptr;
  long n = strtol(sz, &pEnd, 10);
  if (pEnd == sz || *pEnd != '\0' || n < 1 || n > 65535) return 0;
  *pPort = static_cast<int>(n);
  return 1;
}

// One request and reply with spamd; a full listen queue of a Unix socket is
// waited out within the same time bound.
int Exchange(const SpamdAddress &addr, const char *pReq, int nReqLen, char *pReply, int nTimeoutMs, int *pnLen,
             int *pnErr) {
  int64_t nDeadline = PlatSteadyMs() + nTimeoutMs;
  for (;;) {
    int nLeft = static_cast<int>(nDeadline - PlatSteadyMs());
    if (nLeft < 1) nLeft = 1;
    int rc = addr.mPath.Empty()
                 ? PlatCallTcp(addr.mHost.c_str(), addr.nPort, pReq, nReqLen, pReply, kSpamdReplySize, nLeft, pnLen,
                               pnErr)
                 : PlatCallPipe(addr.mPath.c_str(), pReq, nReqLen, pReply, kSpamdReplySize, nLeft, pnLen, pnErr);
    if (rc == -1 && *pnErr == EAGAIN && PlatSteadyMs() < nDeadline) {
      PlatSleepMs(kSpamdBusyPauseMs);
      continue;
    }
    return rc;
  }
}

}  // namespace

int SpamdParseAddress(const char *szText, SpamdAddress *pAddr) {
  pAddr->mPath.Clear();
  pAddr->mHost.Clear();
  pAddr->nPort = kSpamdDefaultPort;
  if (szText[0] == '/') return pAddr->mPath.Assign(szText);
  const char *pPort = nullptr;
  if (szText[0] == '[') {
    const char *pEnd = strchr(szText, ']');
    if (!pEnd || pEnd == szText + 1) return 0;
    if (!pAddr->mHost.Assign(std::string_view(szText + 1, static_cast<size_t>(pEnd - szText - 1)))) return 0;
    if (pEnd[1] == ':') pPort = pEnd + 2;
    else if (pEnd[1] != '\0') return 0;
  } else {
    const char *pColon = strrchr(szText, ':');
    // A bare IPv6 address has several colons and no port.
    if (pColon && strchr(szText, ':') == pColon) {
      if (!pAddr->mHost.Assign(std::string_view(szText, static_cast<size_t>(pColon - szText)))) return 0;
      pPort = pColon + 1;
    } else if (!pAddr->mHost.Assign(szText)) {
      return 0;
    }
  }
  if (pAddr->mHost.Empty()) return 0;
  if (pPort && !ParsePort(pPort, &pAddr->nPort)) return 0;
  return 1;
}

int SpamdParseReply(const char *pReply, int nLen, SpamdVerdict *pVerdict, char *pWhy, std::size_t nWhy) {
  pVerdict->bSpam = 0;
  pVerdict->mScore.Clear();
  pVerdict->mRules.Clear();
  std::string_view reply(pReply, static_cast<size_t>(nLen));
  size_t nEol = reply.find("\r\n");
  std::string_view status = reply.substr(0, nEol);
  // "SPAMD/1.1 0 EX_OK": anything but code 0 is spamd's refusal.
  if (status.substr(0, 6) != "SPAMD/") {
    snprintf(pWhy, nWhy, "not a spamd reply");
    return -1;
  }
  size_t nSp = status.find(' ');
  if (nSp == std::string_view::npos || status.substr(nSp + 1, 2) != "0 ") {
    snprintf(pWhy, nWhy, "spamd: %.*s", static_cast<int>(status.size() > 200 ? 200 : status.size()), status.data());
    return -1;
  }
  size_t nHeadEnd = reply.find("\r\n\r\n");
  if (nEol == std::string_view::npos || nHeadEnd == std::string_view::npos) {
    snprintf(pWhy, nWhy, "spamd reply incomplete");
    return -1;
  }
  int bFound = 0;
  size_t nPos = nEol + 2;
  while (nPos < nHeadEnd) {
    size_t nNext = reply.find("\r\n", nPos);
    std::string_view line = reply.substr(nPos, nNext - nPos);
    nPos = nNext + 2;
    // "Spam: True ; 1003.3 / 5.0"
    if (line.size() < 5 || strncasecmp(line.data(), "Spam:", 5) != 0) continue;
    std::string_view v = line.substr(5);
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    pVerdict->bSpam = v.size() >= 4 && (strncasecmp(v.data(), "True", 4) == 0 || strncasecmp(v.data(), "Yes", 3) == 0);
    size_t nSemi = v.find(';');
    if (nSemi != std::string_view::npos) {
      // The score text without its spaces: "1003.3/5.0".
      for (char c : v.substr(nSemi + 1)) {
        if (c != ' ') pVerdict->mScore.Append(std::string_view(&c, 1));
      }
    }
    bFound = 1;
  }
  if (!bFound) {
    snprintf(pWhy, nWhy, "spamd reply without a Spam header");
    return -1;
  }
  std::string_view rules = reply.substr(nHeadEnd + 4);
  while (!rules.empty() && (rules.back() == '\r' || rules.back() == '\n')) rules.remove_suffix(1);
  pVerdict->mRules.Assign(rules);
  return 1;
}

int SpamdCheck(const SpamdAddress &addr, const char *pMsg, std::size_t nLen, int nTimeoutMs, SpamdVerdict *pVerdict,
               char *pWhy, std::size_t nWhy) {
  char szHead[128];
  int nHead = snprintf(szHead, sizeof szHead, "SYMBOLS SPAMC/1.5\r\nContent-length: %zu\r\n\r\n", nLen);
  // Sizes come from a file: allocation failure is an answer, not a crash.
  char *pReq = new (std::nothrow) char[static_cast<size_t>(nHead) + nLen];
  char *pReply = new (std::nothrow) char[kSpamdReplySize];
  if (!pReq || !pReply || nLen > static_cast<size_t>(INT32_MAX) - 256) {
    delete[] pReq;
    delete[] pReply;
    snprintf(pWhy, nWhy, "out of memory");
    return -1;
  }
  memcpy(pReq, szHead, static_cast<size_t>(nHead));
  if (nLen) memcpy(pReq + nHead, pMsg, nLen);
  int nGot = 0, nErr = 0;
  int rc = Exchange(addr, pReq, nHead + static_cast<int>(nLen), pReply, nTimeoutMs, &nGot, &nErr);
  delete[] pReq;
  if (rc == 1) {
    rc = SpamdParseReply(pReply, nGot, pVerdict, pWhy, nWhy);
  } else if (rc == 0) {
    snprintf(pWhy, nWhy, "spamd not reachable");
  } else {
    snprintf(pWhy, nWhy, "spamd %s (errno %d)", nErr == ETIMEDOUT ? "did not answer in time" : "exchange failed",
             nErr);
  }
  delete[] pReply;
  return rc;
}

int SpamdPing(const SpamdAddress &addr, int nTimeoutMs) {
  static const char kPing[] = "PING SPAMC/1.5\r\n\r\n";
  char *pReply = new (std::nothrow) char[kSpamdReplySize];
  if (!pReply) return 0;
  int nGot = 0, nErr = 0;
  int rc = Exchange(addr, kPing, static_cast<int>(sizeof kPing - 1), pReply, nTimeoutMs, &nGot, &nErr);
  int bPong = rc == 1 && std::string_view(pReply, static_cast<size_t>(nGot)).find(" PONG") != std::string_view::npos;
  delete[] pReply;
  return bPong;
}

void SpamHandle(const char *szRequest, ServiceReply *pReply, void *pCtx) {
  const SpamContext &ctx = *static_cast<const SpamContext *>(pCtx);
  // Both forms start with the file name; the SMTP fields after it only
  // show in the log line.
  PathText file;
  if (!ServiceRequestFile(szRequest, &file)) {
    pReply->mNote.Assign("no usable file name");
    return;
  }
  std::vector<char> msg;
  if (!ServiceReadRequestFile(file.c_str(), ctx.nMaxFileSize, &msg, pReply)) return;
  int rc;
  SpamdVerdict verdict;
  char szWhy[256];
  rc = SpamdCheck(ctx.addr, msg.data(), msg.size(), ctx.nSpamdTimeoutMs, &verdict, szWhy, sizeof szWhy);
  if (rc != 1) {
    pReply->mNote.Assign(szWhy);
    return;
  }
  if (verdict.bSpam) {
    pReply->mText.Format("Spam %s %s", verdict.mScore.c_str(), verdict.mRules.c_str());
  } else {
    pReply->mNote.Format("ham %s", verdict.mScore.c_str());
  }
}
