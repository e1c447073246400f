#include "relay/starttls.h"

#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/settings.h"
#include "core/spool_file.h"
#include "platform/plat_file.h"
#include "platform/plat_time.h"
#include "platform/plat_tls.h"
#include "relay/relay.h"
#include "relay/relay_io.h"
#include "relay/relay_text.h"

namespace {

constexpr const char kStartTls[] = "STARTTLS\r\n";
constexpr const char kStls[] = "STLS\r\n";
constexpr const char kRset[] = "RSET\r\n";

bool LineIs(const char *szLine, const char *szText) {
  return StartsNoCase(szLine, szText) && std::strlen(szLine) == std::strlen(szText);
}

// The last server reply is a success: SMTP 2xx, POP3 "+OK".
bool ReplySuccess(const ConnectionRecord *pRec, int nProto) {
  if (nProto == kProtoPop3) return StartsNoCase(pRec->serverReply, "+OK");
  int nCode = ReplyCode(pRec->serverReply);
  return nCode >= 200 && nCode <= 299;
}

// POP3 commands that authenticate: the STLS offer ends with them (RFC 2595).
bool Pop3Authenticates(const char *szCmd) {
  return StartsNoCase(szCmd, "user ") || StartsNoCase(szCmd, "pass ") || StartsNoCase(szCmd, "apop ") ||
         StartsNoCase(szCmd, "auth");
}

// Sends one of the proxy's own commands to the server and drops the reply.
int CommandAndDrop(ConnectionRecord *pRec, int nSvSock, const char *szText, int *pnCode) {
  if (RelaySendServer(pRec, nSvSock, szText, std::strlen(szText)) < 0) return 0;
  return DropServerReply(pRec, nSvSock, pnCode);
}

// The proxy's own STARTTLS/STLS to the server (kTlsServerUpgrade).  -1 when the
// server connection broke, else 0.
int UpgradeServer(ConnectionRecord *pRec, int nSvSock, int nClSock, int nProto) {
  const char *szCmd = nProto == kProtoPop3 ? kStls : kStartTls;
  int nSent = RelaySendServer(pRec, nSvSock, szCmd, std::strlen(szCmd));
  DebugLogF("[ClientToServerSession] [%04d] S:send(%04d):%d bytes.\n", nClSock, nSvSock, nSent);
  if (nSent < 0) return -1;
  char szReply[kRecvChunk + 1];
  LineScan scan;
  LineScanInit(&scan, nProto, 0, 0, 0, "");
  std::size_t nHave = 0;
  while (!scan.bDone) {
    int n = RelayRecvServer(pRec, nSvSock, szReply + nHave, static_cast<int>(kRecvChunk - nHave));
    DebugLogF("[ClientToServerSession] [%04d] S:recv(%04d):%d bytes.\n", nClSock, nSvSock, n);
    if (n <= 0) return -1;
    std::size_t nUsed;
    LineScanFeed(&scan, szReply + nHave, static_cast<std::size_t>(n), &nUsed);
    nHave += static_cast<std::size_t>(n);
    szReply[nHave] = '\0';
    if (nHave >= kRecvChunk) break;
  }
  bool bAccepted = nProto == kProtoPop3 ? StartsNoCase(szReply, "+O")
                                        : (scan.nCode >= 200 && scan.nCode <= 299);
  if (bAccepted) {
    pRec->serverAcceptedStartTls = 1;
    // The server now waits for a handshake; without one the connection
    // cannot carry anything any more.
    if (!RelayServerTls(pRec, nSvSock, nClSock)) return -1;
    pRec->serverTlsUp = 1;
    // After STARTTLS the server has forgotten the greeting (HELO/EHLO), so
    // it is repeated, also for a HELO that was upgraded to EHLO.
    if (nProto == kProtoSmtp && !pRec->heloUpgraded && !CommandAndDrop(pRec, nSvSock, kRset, nullptr)) return -1;
    if (nProto == kProtoSmtp && !pRec->savedEhlo.Empty() &&
        !CommandAndDrop(pRec, nSvSock, pRec->savedEhlo.c_str(), nullptr))
      return -1;
  }
  pRec->tlsPhase = kTlsServerDone;
  return 0;
}

}  // namespace

int StartTlsClientStep(ConnectionRecord *pRec, const char *szSpool, int nSvSock, int nClSock) {
  const int nProto = RelayProtocol(pRec);
  if (nProto != kProtoSmtp && nProto != kProtoPop3) return 0;
  char szCmd[1024];
  ReadFileHead(szSpool, szCmd, sizeof szCmd);
  char *pEnd = std::strchr(szCmd, '\n');
  if (pEnd) pEnd[1] = '\0';
  const bool bSmtp = nProto == kProtoSmtp;
  const bool bAskTls = bSmtp ? LineIs(szCmd, kStartTls) : LineIs(szCmd, kStls);

  // The proxy answers the client's STARTTLS/STLS itself.  The answer is
  // kept as the last reply the client got: the switch to TLS before the
  // next command reads it, never an older server reply.
  if (bAskTls && ClientTlsOffered(pRec) && !pRec->serverStartTls) {
    if (AnswerClient(pRec, nClSock, bSmtp ? "220 Ready to start TLS\r\n" : "+OK  Begin TLS negotiation\r\n",
                     "ClientToServerSession") < 0)
      return -1;
    pRec->clientStartTls = 1;
    // The server is not upgraded on this connection: the next replies are
    // ordinary ones (an EHLO reply after the handshake must not be taken
    // for a STARTTLS reply).
    pRec->tlsPhase = kTlsServerDone;
    return kRelayStartTls;
  }
  // TLS is not offered to this client (no certificate, TLS already up, or
  // the offer is over): the proxy refuses instead of letting the client
  // start a handshake nobody answers.
  if (bAskTls && !ClientTlsOffered(pRec)) {
    if (AnswerClient(pRec, nClSock,
                     bSmtp ? "454 TLS not available due to temporary reason\r\n" : "-ERR TLS not available\r\n",
                     "ClientToServerSession") < 0)
      return -1;
    return kRelayAnswered;
  }

  if (pRec->serverStartTls && pRec->tlsPhase == kTlsNothingYet) {
    if (bSmtp && StartsNoCase(szCmd, "ehlo")) {
      FixedText<254> ehlo;
      ehlo.Assign(std::string_view(szCmd, std::strcspn(szCmd, "\r\n")));
      if (ehlo.Length() > 251) ehlo.Assign(ehlo.view().substr(0, 251));
      ehlo.Append("\r\n");
      pRec->savedEhlo.Assign(ehlo.view());
      if (!pRec->offerStartTls) {
        if (!CommandAndDrop(pRec, nSvSock, szCmd, nullptr)) return -1;
        pRec->tlsPhase = kTlsServerUpgrade;
      }
    } else if (bSmtp && StartsNoCase(szCmd, "helo")) {
      szCmd[1] = szCmd[0];
      szCmd[0] = szCmd[0] == 'H' ? 'E' : 'e';
      pRec->heloUpgraded = 1;
      pRec->savedEhlo.Assign(szCmd);
      int nCode = 0;
      if (!CommandAndDrop(pRec, nSvSock, szCmd, &nCode)) return -1;
      pRec->tlsPhase = kTlsClientAsked;
      if (nCode < 200 || nCode > 299) {
        szCmd[0] = szCmd[1];
        szCmd[1] = szCmd[0] == 'H' ? 'E' : 'e';
        pRec->heloUpgraded = 0;
        pRec->savedEhlo.Clear();
        pRec->tlsPhase = kTlsServerDone;
      }
      if (PlatWriteWholeFile(szSpool, szCmd, std::strlen(szCmd)) != 1) return -1;
      if (!CommandAndDrop(pRec, nSvSock, kRset, nullptr)) return -1;
    } else if (!bSmtp && !bAskTls && !(ClientTlsOffered(pRec) && !Pop3Authenticates(szCmd))) {
      // While STLS is still offered to the client, its commands before
      // logging in (CAPA) go to the server in the clear; the server is
      // upgraded before the first one that logs in.
      pRec->tlsPhase = kTlsServerUpgrade;
    }
  } else if (bSmtp && pRec->serverStartTls && !pRec->serverTlsUp &&
             (pRec->tlsPhase == kTlsOffered || pRec->tlsPhase == kTlsReplyRelayed) && !bAskTls) {
    pRec->tlsPhase = kTlsServerUpgrade;
  }
  if (pRec->tlsPhase == kTlsServerUpgrade) return UpgradeServer(pRec, nSvSock, nClSock, nProto);
  return 0;
}

void StartTlsAfterCommand(ConnectionRecord *pRec, const char *szCommand) {
  const int nProto = RelayProtocol(pRec);
  if (nProto != kProtoSmtp && nProto != kProtoPop3) return;
  if (pRec->tlsPhase == kTlsServerDone) pRec->tlsPhase = kTlsHandlesMoved;
  const bool bSmtp = nProto == kProtoSmtp;
  const bool bAskTls = bSmtp ? LineIs(szCommand, kStartTls) : LineIs(szCommand, kStls);
  if (bAskTls && !pRec->clientStartTls && !pRec->clientTlsUp && !pRec->serverTlsUp) {
    pRec->clientStartTls = 1;
    if (!bSmtp && pRec->tlsPhase == kTlsNothingYet) pRec->tlsPhase = kTlsOffered;
  } else if (pRec->tlsPhase == kTlsNothingYet) {
    // POP3: STLS stays offered until the client logs in (CAPA comes first
    // with most clients).
    if (!bSmtp && !bAskTls && Pop3Authenticates(szCommand))
      pRec->tlsPhase = kTlsServerDone;
    else if (bSmtp && StartsNoCase(szCommand, "ehlo") && ClientTlsOffered(pRec))
      pRec->tlsPhase = kTlsEhloForwarded;
  }
}

int ClientTlsOffered(const ConnectionRecord *pRec) {
  if (!pRec->offerStartTls || pRec->pClientSSL || pRec->clientStartTls || pRec->clientTlsUp) return 0;
  if (RelayProtocol(pRec) == kProtoPop3) return pRec->tlsPhase == kTlsNothingYet;
  return pRec->tlsPhase <= kTlsOffered;
}

int StartTlsBeforeCommand(ConnectionRecord *pRec, int nSvSock, int nClSock) {
  const int nProto = RelayProtocol(pRec);
  if (!pRec->clientStartTls || pRec->serverTlsUp || pRec->clientTlsUp || !ReplySuccess(pRec, nProto)) return 1;
  pRec->clientTlsUp = 1;
  // Whatever the client sent behind its STARTTLS was sent in the clear
  // before the handshake; it must never be taken as a protected command.
  pRec->nClientCarry = 0;
  if (pRec->clientTlsPending) {
    pRec->clientTlsPending = 0;
    void *pCtx = nullptr;
    void *pSSL = OpenSSLServer(&pCtx, nClSock, pRec->mCertFile.c_str(), pRec->mKeyFile.c_str());
    if (!pSSL) return 0;
    pRec->pClientSSL = pSSL;
    pRec->pClientCtx = pCtx;
  }
  if (pRec->serverAcceptedStartTls && pRec->serverStartTls && !pRec->pServerSSL) {
    // The server waits for a handshake: going on in the clear would hand
    // the client's protected commands to whoever answered.
    if (!RelayServerTls(pRec, nSvSock, nClSock)) return 0;
    pRec->serverTlsUp = 1;
  }
  return 1;
}

int RewriteEhloLine(const char *szLine, int *pbOffered, char *pOut, int nOut) {
  int n = std::snprintf(pOut, static_cast<std::size_t>(nOut), "%s", szLine);
  if (n >= nOut) n = nOut - 1;
  if (std::strlen(szLine) >= 4 && StartsNoCase(szLine + 4, "starttls")) *pbOffered = 1;
  if (!*pbOffered && n >= 4 && pOut[3] == ' ') pOut[3] = '-';
  return n;
}

void StartTlsRewriteReply(ConnectionRecord *pRec, const char *szSpool, int nSvSock) {
  const int nProto = RelayProtocol(pRec);
  ++pRec->tlsPhase;
  pRec->clientTlsPending = 1;
  PathText bak;
  if (!bak.Format("%s.bak", szSpool)) return;
  FILE *in = OpenSpool(szSpool, "rb");
  if (!in) return;
  FILE *out = PlatFileOpen(bak.c_str(), "wb");
  if (!out) {
    std::fclose(in);
    return;
  }
  char *pLine = pRec->mWork;
  char szOut[kRecvChunk + 1];
  int bOffered = 0;
  int bFirst = 1;
  int bEhlo = 0;
  std::size_t n;
  while ((n = ReadLine(in, pLine, kRecvChunk)) > 0) {
    if (pRec->tlsPhase == kTlsOffered) {
      bEhlo = 1;
      int nOut = RewriteEhloLine(pLine, &bOffered, szOut, sizeof szOut);
      std::fwrite(szOut, 1, static_cast<std::size_t>(nOut), out);
    } else if (pRec->tlsPhase == kTlsClientAsked) {
      const char *szLine = pLine;
      if (nProto == kProtoSmtp) {
        int nCode = ReplyCode(pLine);
        if (nCode < 200 || nCode > 299) {
          CommandAndDrop(pRec, nSvSock, kRset, nullptr);
          szLine = "220 Ready to start TLS\r\n";
        } else {
          pRec->serverAcceptedStartTls = 1;
        }
      } else if (!StartsNoCase(pLine, "+OK")) {
        szLine = "+OK Begin TLS negotiation\r\n";
      } else {
        pRec->serverAcceptedStartTls = 1;
      }
      std::fputs(szLine, out);
      pRec->tlsPhase = kTlsReplyRelayed;
      bFirst = 0;
      continue;
    } else if (pRec->tlsPhase == kTlsReplyRelayed) {
      if (pRec->heloUpgraded && bFirst && n >= 4) {
        pLine[3] = ' ';
        std::fwrite(pLine, 1, n, out);
      }
    }
    bFirst = 0;
  }
  if (bEhlo && !bOffered) std::fputs("250 STARTTLS\r\n", out);
  std::fclose(out);
  std::fclose(in);
  unsigned nTry = 0;
  while (PlatCopyFile(bak.c_str(), szSpool, 1) != 1 && ++nTry < kSpoolCopyAttempts) PlatSleepMs(kFilePollMs);
  DeleteSpool(bak.c_str());
}
