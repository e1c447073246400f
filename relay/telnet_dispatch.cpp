// TelnetDispatch: the protocol handler of the relay modes and of relayed
// SOCKS connections.  It opens the server side and relays command by
// command, or as a raw tunnel, or as a SOCKS data tunnel.
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "core/lists.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/retry.h"
#include "core/settings.h"
#include "ftp/ftp_data.h"
#include "net/outbound.h"
#include "net/tunnel.h"
#include "platform/plat_file.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "platform/plat_tls.h"
#include "relay/relay.h"
#include "relay/relay_io.h"
#include "relay/relay_text.h"
#include "relay/starttls.h"
#include "socks/socks.h"
#include "socks/socks_bind.h"

namespace {

void ResetRelayFields(ConnectionRecord *pRec) {
  pRec->ftpPortPending = 0;
  pRec->ftpPasvPending = 0;
  pRec->ftpDir.Clear();
  pRec->ftpFlagFile.Clear();
  pRec->ftpDataOk = 1;
  pRec->ftpDataPort = 0;
  pRec->mailState = 0;
  pRec->lastCommand.Clear();
  pRec->imapTag.Clear();
  pRec->imapContinuation = 0;
  pRec->nImapLiteral = 0;
  pRec->mailFrom.Clear();
  pRec->ftpUser.Clear();
  pRec->rcptLine.Clear();
  pRec->mZipResult.Clear();
  pRec->offerStartTls = pRec->serverStartTls = 0;
  pRec->tlsPhase = kTlsNothingYet;
  pRec->clientStartTls = pRec->clientTlsPending = pRec->clientTlsUp = 0;
  pRec->serverAcceptedStartTls = pRec->serverTlsUp = pRec->heloUpgraded = 0;
  pRec->savedEhlo.Clear();
  pRec->serverReply[0] = '\0';
  pRec->clientCommand[0] = '\0';
  // nClientCarry is kept: a SOCKS client's bytes sent behind its request
  // are the first bytes of the relayed connection.
}

void RelayStartFailed(int nSock, int nSvSock, int nErr) {
  DebugLogF("[TelnetDispatch] [%04d] [%04d] ServerSession() beginthread failed.(%d)\n", nSock, nSvSock, nErr);
}

void RelayAllocFailed(int nSock, int nSvSock, int nErr) {
  DebugLogF("[TelnetDispatch] [%04d] [%04d] Memory allocation error = %d\n", nSock, nSvSock, nErr);
}

// The SOCKS data tunnel's copy thread, with a wait for its end so that it
// never outlives the sockets it uses.
struct SocksThreadArg {
  TunnelBlock *pBlock;
  std::mutex lock;
  std::condition_variable done;
  int bRunning;
};

void SocksThread(void *pArg) {
  auto *p = static_cast<SocksThreadArg *>(pArg);
  ServerSocksSession(p->pBlock);
  std::lock_guard<std::mutex> guard(p->lock);
  p->bRunning = 0;
  p->done.notify_all();
}

void SocksDataTunnel(ConnectionRecord *pRec, int nSvSock, int nPort) {
  PathText flag;
  FtpSocksFlagName(&flag, nPort);
  DebugLogF("[TelnetDispatch] [%04d] _fsopen(%s)\n", pRec->nSock, flag.c_str());
  // The direction file is written by the FTP-control relay that announced
  // the port; a connection nobody announced gives up after a while.
  int c = FtpSocksDirection(nPort, kRelayHandOffWaitMs);
  if (c < 0) return;
  TunnelBlock *pBlock = new (std::nothrow) TunnelBlock;
  if (!pBlock) {
    RelayAllocFailed(pRec->nSock, nSvSock, 12);
    return;
  }
  std::memset(pBlock, 0, sizeof *pBlock);
  pBlock->nMode = 1;
  // Upload: the client socket first (the thread copies client to server).
  if (c == '1') {
    pBlock->nSvSock = pRec->nSock;
    pBlock->nSock = nSvSock;
  } else {
    pBlock->nSvSock = nSvSock;
    pBlock->nSock = pRec->nSock;
  }
  TunnelBlock *pOwn = new (std::nothrow) TunnelBlock;
  if (!pOwn) {
    RelayAllocFailed(pRec->nSock, nSvSock, 12);
    delete pBlock;
    return;
  }
  std::memcpy(pOwn, pBlock, sizeof *pOwn);
  SocksThreadArg arg;
  arg.pBlock = pBlock;
  arg.bRunning = 1;
  int nErr = StartThreadRetry(SocksThread, &arg);
  if (nErr != 0) {
    DebugLogF("[TelnetDispatch] [%04d] [%04d] ServerSocksSession() beginthread failed.(%d)\n", pRec->nSock, nSvSock,
              nErr);
    delete pBlock;
    arg.bRunning = 0;
  }
  ClientSocksSession(pOwn);
  delete pOwn;
  // Both directions end with the connection: wake the copy thread and wait.
  PlatShutdown(nSvSock);
  PlatShutdown(pRec->nSock);
  std::unique_lock<std::mutex> guard(arg.lock);
  arg.done.wait(guard, [&] { return arg.bRunning == 0; });
}

bool IsFtp(const ConnectionRecord *pRec) { return RelayIs(pRec, kProtoFtp); }

// FTP: a further complete reply behind the first line of the reply.
bool HasSecondReply(const char *szReply) {
  const char *p = std::strchr(szReply, '\n');
  while (p && p[1]) {
    const char *pLine = p + 1;
    const char *pEnd = std::strchr(pLine, '\n');
    if (pEnd && pEnd - pLine >= 4 && pLine[3] == ' ') return true;
    p = pEnd;
  }
  return false;
}

// The lock-step command relay.
void CommandRelay(ConnectionRecord *pRec, int nSv) {
  const char *szSpool = pRec->mReqFile.c_str();
  const int nCl = pRec->nSock;
  const int nProto = RelayProtocol(pRec);
  pRec->pServerSSL = nullptr;
  pRec->pServerCtx = nullptr;
  if (!pRec->pClientSSL && !pRec->mCertFile.Empty() && !pRec->mKeyFile.Empty()) pRec->offerStartTls = 1;
  if (!pRec->bSvTls) pRec->serverStartTls = pRec->bSvStartTls;
  // A server that speaks only TLS cannot be talked to in the clear.
  if (pRec->bSvTls && !RelayServerTls(pRec, nSv, nCl)) return;
  if (ServerToClientSession(szSpool, nSv, nCl, pRec->serverReply, pRec, kReplyPlain) == 0) return;
  int d = 0;
  for (;;) {
    if (IsFtp(pRec)) {
      if ((std::strncmp(pRec->serverReply, "150 ", 4) == 0 || std::strncmp(pRec->serverReply, "125 ", 4) == 0)) {
        // The transfer's final reply, unless it came with the first.
        if (!HasSecondReply(pRec->serverReply) &&
            ServerToClientSession(szSpool, nSv, nCl, pRec->serverReply, pRec, d == 2 ? kReplyMessage : kReplyPlain) == 0)
          return;
        pRec->ftpPortPending = 0;
        pRec->ftpPasvPending = 0;
      }
      if (std::strstr(pRec->serverReply, "226 ")) {
        pRec->ftpPortPending = 0;
        pRec->ftpPasvPending = 0;
      }
      if (std::strstr(pRec->serverReply, "200 ")) DebugLogF("[TelnetDispatch] [%04d] hit\n", nCl);
    }
    for (;;) {
      if (!StartTlsBeforeCommand(pRec, nSv, nCl)) return;
      d = ClientToServerSession(szSpool, nSv, nCl, pRec->clientCommand, pRec, 0);
      // Answered by the proxy itself: no server reply to relay.
      if (d == kRelayAnswered) continue;
      if (d != kRelayStartTls) break;
      pRec->clientTlsPending = 1;
    }
    StartTlsAfterCommand(pRec, pRec->clientCommand);
    if (IsFtp(pRec) && StartsNoCase(pRec->clientCommand, "quit")) {
      ServerToClientSession(szSpool, nSv, nCl, pRec->serverReply, pRec, kReplyPlain);
      return;
    }
    if (d == kRelaySendFail) return;
    if (d == kRelayEnd) {
      ServerToClientSession(szSpool, nSv, nCl, pRec->serverReply, pRec, kReplyPlain);
      return;
    }
    while (nProto == kProtoSmtp && d == kRelayMessage) {
      d = ClientToServerSession(szSpool, nSv, nCl, pRec->clientCommand, pRec, 1);
      if (d == kRelayRefused) d = ClientToServerSession(szSpool, nSv, nCl, pRec->clientCommand, pRec, 0);
      if (d == kRelaySendFail) return;
      if (d == kRelayEnd) {
        ServerToClientSession(szSpool, nSv, nCl, pRec->serverReply, pRec, kReplyPlain);
        return;
      }
    }
    if (d == kRelayStartTls || d == kRelayAnswered) {
      // Answered by the proxy itself: no server reply to relay.
      if (d == kRelayStartTls) pRec->clientTlsPending = 1;
      continue;
    }
    pRec->lastCommand.Assign(std::string_view(pRec->clientCommand, std::strcspn(pRec->clientCommand, "\r\n")));
    if (nProto == kProtoImap4) {
      const char *pBlank = std::strchr(pRec->clientCommand, ' ');
      if (pBlank && StartsNoCase(pBlank + 1, "append ")) pRec->imapContinuation = 0;
    }
    // Nothing read: the client has gone.  (An empty line, such as the end
    // of IMAP literal data, is still a command whose reply is relayed.)
    if (pRec->clientCommand[0] == '\0') return;
    if (ServerToClientSession(szSpool, nSv, nCl, pRec->serverReply, pRec, d == kRelayMessage ? kReplyMessage
                                                                                             : kReplyPlain) != 1)
      return;
  }
}

}  // namespace

int TelnetDispatch(ConnectionRecord *pRec) {
  ResetRelayFields(pRec);
  const bool bSocks = g_nProxyMode == kModeSocks;
  const int nCl = pRec->nSock;

  // The target of this connection: "host port" (80 without a port).
  char *pTarget = new (std::nothrow) char[kRecvChunk];
  if (!pTarget) return 0;
  CopyText(pTarget, kRecvChunk, bSocks ? pRec->mSocksTarget.c_str() : g_szUpstream.c_str());
  char szHost[256];
  int nPort = 80;
  char *pBlank = std::strchr(pTarget, ' ');
  if (pBlank) {
    *pBlank = '\0';
    nPort = std::atoi(pBlank + 1);
  }
  // A host that does not fit would connect somewhere else.
  if (!CopyText(szHost, sizeof szHost, pTarget)) szHost[0] = '\0';
  delete[] pTarget;

  if (bSocks && !pRec->bConnTable) {
    if (SOCKS45Res1(pRec) != 1) return 0;
    FixedText<kHttpListKeySize> key;
    key.Format("%s,socks,tcp,%s,%d", pRec->mLocalIP.c_str(), szHost, nPort);
    if (WhiteBlackVerdict(key.c_str(), nullptr) == kListBlack) {
      SocksSendRefusal(pRec, 1);
      DebugLogF("[TelnetDispatch] [%04d] blacklist [%s]\n", nCl, pRec->mSocksTarget.c_str());
      DebugLogF("[TelnetDispatch] [%04d] QueryDBList(%s) hit.\n", nCl, key.c_str());
      return 0;
    }
  }

  int nSv = szHost[0] ? ConnectHost(pRec, szHost, nPort, 0, nullptr) : -1;
  if (nSv == -1) {
    if (bSocks && !pRec->bConnTable) SocksSendRefusal(pRec, 0);
    DebugLogF("[TelnetDispatch] [%04d] connect fail.\n", nCl);
  } else {
    pRec->nSvSock = nSv;
    if (bSocks && !pRec->bConnTable) SOCKS45Res2(pRec);
    DebugLogF("[TelnetDispatch] [%04d] [%04d] sender connect success.\n", nCl, nSv);

    // The tunnels copy what they receive from now on: bytes the client
    // sent behind its SOCKS request go first (the command relay reads them
    // as the start of the first command).
    if (pRec->nClientCarry > 0 && (pRec->nRelayProto == 5 || pRec->bPassThrough)) {
      if (PlatSend(nSv, pRec->mClientCarry, pRec->nClientCarry) < 0)
        DebugLogF("[TelnetDispatch] [%04d] [%04d] S:send:-1 bytes.\n", nCl, nSv);
      pRec->nClientCarry = 0;
    }
    if (pRec->nRelayProto == 5 && !pRec->bConnTable) {
      SocksDataTunnel(pRec, nSv, nPort);
    } else if (pRec->bPassThrough || (bSocks && pRec->bConnTable)) {
      RunTunnelPasses(pRec, nSv, RelayStartFailed, RelayAllocFailed);
    } else {
      CommandRelay(pRec, nSv);
    }

    if (pRec->pServerSSL) PlatTlsRelease(pRec->pServerSSL);
    pRec->pServerSSL = nullptr;
    pRec->pServerCtx = nullptr;
    PlatShutdownClose(nSv);
    pRec->nSvSock = -1;
    PathText path;
    if (path.Format("%s%s/req-%d-%04d.lck", g_szDataDir.c_str(), "cache", g_nProxyMode, nSv))
      PlatDeleteRetry(path.c_str(), 200);
    if (path.Format("%s%s/req-%d-%04d.flg", g_szDataDir.c_str(), "cache", g_nProxyMode, nSv))
      PlatDeleteRetry(path.c_str(), 200);
    DebugLogF("[TelnetDispatch] [%04d] Close Server socket. [%04d]\n", nCl, nSv);
  }
  pRec->lastCommand.Clear();
  if (pRec->nRelayProto == 5) {
    PathText flag;
    if (FtpSocksFlagName(&flag, nPort)) {
      PlatDeleteRetry(flag.c_str(), 200);
      DebugLogF("[TelnetDispatch] [%04d] DeleteFile(%s)\n", nCl, flag.c_str());
    }
  }
  return 0;
}
