// SocksNegotiate, the SOCKS replies and BinaryDump.
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/ldap_logon.h"
#include "core/lists.h"
#include "core/log.h"
#include "core/number_text.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "net/client_recv.h"
#include "net/proxy_auth.h"
#include "net/outbound.h"
#include "net/data_port.h"
#include "platform/plat_file.h"
#include "platform/plat_socket.h"
#include "platform/plat_tls.h"
#include "socks/socks.h"
#include "socks/socks_bind.h"
#include "socks/socks_udp.h"
#include "socks/socks_wire.h"

namespace {

using CompleteFn = int (*)(const unsigned char *, std::size_t);

const unsigned char *Raw(const ConnectionRecord *pRec) {
  return reinterpret_cast<const unsigned char *>(pRec->mRecv);
}

// Sends reply bytes to the client after dumping them.  1 sent, -1 failed.
int SendReply(ConnectionRecord *pRec, const void *pData, int nLen) {
  BinaryDump(pRec->nSock, pData, static_cast<std::size_t>(nLen));
  return SslSendBytes(pRec->nSock, pRec->pClientSSL, pData, nLen) == nLen ? 1 : -1;
}

// Bytes a client sent beyond a complete message (it did not wait for the
// proxy's answer); they open the next message.  Kept in mWork until the
// next message is collected.
struct Carry {
  std::size_t nLen = 0;
};

// Adds a piece to the message gathered in mRecv, which keeps its first
// kSocksMsgMax bytes; the rest of the buffer is zero, cleared once per
// message when its first bytes arrive (an idle client does not make the
// buffer's pages resident).
void GatherPiece(ConnectionRecord *pRec, std::size_t *pnHave, const char *pPiece, std::size_t n) {
  if (*pnHave == 0) memset(pRec->mRecv, 0, kRecvChunk + 1);
  std::size_t nKeep = n < kSocksMsgMax - *pnHave ? n : kSocksMsgMax - *pnHave;
  memcpy(pRec->mRecv + *pnHave, pPiece, nKeep);
  *pnHave += nKeep;
}

// Collects one client message until fnComplete calls it complete.  The
// spool file, truncated first, records what arrived: the bytes carried over
// from the previous message and every piece received (into mWork) are
// appended to it; the message itself is gathered in mRecv, where the check
// reads it.  Returns the message length (the complete message is dumped),
// -1 when the client closed, a receive or a spool write failed or timed
// out, or the message can never be complete (*pbNever set then; mRecv
// holds what came).
int CollectMessage(ConnectionRecord *pRec, CompleteFn fnComplete, Carry *pCarry, int *pbNever) {
  const int nSock = pRec->nSock;
  *pbNever = 0;
  FILE *fpNew = PlatFileOpen(pRec->mReqFile.c_str(), "wb");
  if (fpNew) fclose(fpNew);
  std::size_t nHave = 0;
  std::size_t nCarried = pCarry->nLen;
  pCarry->nLen = 0;
  if (nCarried > 0) {
    if (PlatAppendFile(pRec->mReqFile.c_str(), pRec->mWork, nCarried) != 1) return -1;
    GatherPiece(pRec, &nHave, pRec->mWork, nCarried);
  }
  // The whole message must arrive within the client time-out (-T, first
  // value), not each of its pieces.
  ClientDeadline deadline;
  ClientDeadlineStart(&deadline, g_nTmoClient);
  for (;;) {
    if (nCarried == 0) {
      int n = ClientRecv(nSock, pRec->pClientSSL, pRec->mWork, static_cast<int>(kRecvChunk), &deadline);
      if (n < 0) {
        DebugLogF("[AcceptClients] [%04d] C:recv:%d bytes. / WSAGetLastError() = %d\n", nSock, -1, PlatLastError());
        return -1;
      }
      DebugLogF("[AcceptClients] [%04d] C:recv:%d bytes.\n", nSock, n);
      if (n == 0) return -1;
      if (PlatAppendFile(pRec->mReqFile.c_str(), pRec->mWork, static_cast<std::size_t>(n)) != 1) return -1;
      GatherPiece(pRec, &nHave, pRec->mWork, static_cast<std::size_t>(n));
    }
    nCarried = 0;
    int r = fnComplete(Raw(pRec), nHave);
    if (r > 0) {
      // The password stays out of the log: the credentials message is
      // dumped up to its password length octet.
      std::size_t nDump = static_cast<std::size_t>(r);
      if (fnComplete == SocksAuthComplete) nDump = 3u + Raw(pRec)[1];
      BinaryDump(nSock, pRec->mRecv, nDump);
      pCarry->nLen = nHave - static_cast<std::size_t>(r);
      memcpy(pRec->mWork, pRec->mRecv + r, pCarry->nLen);
      return r;
    }
    if (r < 0) {
      *pbNever = 1;
      return -1;
    }
  }
}

// Refuses a request that cannot be served (an unusable destination, or a
// SOCKS 4 client while credentials are demanded) with the general failure
// reply of its version.
void RefuseRequest(ConnectionRecord *pRec, int nVersion, const char *szWhy) {
  char reply[kSocksReplyMax];
  int nLen = BuildSocksRefusal(nVersion, nVersion == 5 ? 1 : 91, reply);
  SendReply(pRec, reply, nLen);
  DebugLogF("[AcceptClients] [%04d] SOCKS request refused: %s.\n", pRec->nSock, szWhy);
}

// Username/password step: 1 the client is authenticated, 0 not (the
// failure status was sent), -1 the client went away.
int Authenticate(ConnectionRecord *pRec, Carry *pCarry) {
  int bNever = 0;
  int nLen = CollectMessage(pRec, SocksAuthComplete, pCarry, &bNever);
  if (nLen < 0) return -1;
  char szCred[kSocksReplyMax * 2];
  int bOk = 0;
  if (ParseSocksAuth(Raw(pRec), static_cast<std::size_t>(nLen), szCred, sizeof szCred) == 1) {
    if (g_nLdapAuth) {
      // Directory logon: the credentials are split at the last ":" into
      // user and password, the user at "@" (else "%") into user and
      // domain, and checked against the directory server of the LDAP
      // settings ("localhost" when none).  A part too long for the
      // directory request fails like wrong credentials.
      LdapLogonRequest ldap;
      bOk = LdapRequestFromCredentials(szCred, &ldap) && LDAP_LOGON(&ldap) == 1;
      memset(&ldap.mPassword, 0, sizeof ldap.mPassword);
    } else {
      bOk = ComperToken(pRec->nSock, szCred);
    }
  }
  memset(szCred, 0, sizeof szCred);
  if (!bOk) MetricCount(kMetRefusedAuth);
  const char reply[2] = {0x01, static_cast<char>(bOk ? 0x00 : 0x02)};
  SendReply(pRec, reply, 2);
  return bOk;
}

// The version check of -O: 0 (and values above 2) both, 1 SOCKS 4 only,
// 2 SOCKS 5 only.
bool VersionAllowed(int nVersion) {
  if (g_nSocksVer == 1) return nVersion == 4;
  if (g_nSocksVer == 2) return nVersion == 5;
  return nVersion == 4 || nVersion == 5;
}

// The fixed forward: a connect-table entry for the client's address and the
// local port that names a server and a port sends the connection to the
// relay untouched.  The target is that server and port (flags cut off).
int FixedForward(ConnectionRecord *pRec) {
  ConnectEntry entry;
  if (GetConnectTable(pRec->mClientIP.c_str(), static_cast<int>(pRec->nLocalPort), &entry) != 1) return 0;
  if (entry.mServer.Empty() || entry.mPort.Empty()) return 0;
  pRec->bConnTable = 1;
  const char *pPort = entry.mPort.c_str();
  uint64_t nPortValue = 0;
  ReadDecimalDigits(&pPort, INT_MAX, kDecimalStop, &nPortValue);
  const unsigned nPort = static_cast<unsigned>(nPortValue);
  pRec->mSocksTarget.Format("%s %u", entry.mServer.c_str(), nPort);
  return 1;
}

}  // namespace

void BinaryDump(int nSock, const void *pData, std::size_t nLen) {
  if (!DebugLogEnabled()) return;
  char szText[kBinaryDumpMax + 2];
  FormatBinaryDump(nSock, pData, nLen, szText, kBinaryDumpMax + 1);
  // One log line per dump line, each ending with its line feed.
  char *p = szText;
  while (*p) {
    char *pLf = strchr(p, '\n');
    char szLine[kBinaryDumpMax + 2];
    std::size_t n = pLf ? static_cast<std::size_t>(pLf - p) : strlen(p);
    memcpy(szLine, p, n);
    szLine[n] = '\n';
    szLine[n + 1] = '\0';
    DebugLog(szLine);
    p += n + (pLf ? 1 : 0);
  }
}

int SOCKS45Res1(ConnectionRecord *pRec) {
  const unsigned char *pReq = Raw(pRec);
  int nVersion = pReq[0] == 5 ? 5 : 4;
  pRec->nSocksState = nVersion;
  int nLen = BuildSocksReplyHeader(pReq, nVersion, pRec->nSocksAddrLen, pRec->mSocksReply);
  if (pReq[1] == 1) return 1;
  pRec->mSocksReply[1] = static_cast<char>(nVersion == 5 ? 1 : 91);
  SendReply(pRec, pRec->mSocksReply, nLen);
  DebugLog("[SOCKS45Res1] socks fail.\n");
  return 0;
}

int SOCKS45Res2(ConnectionRecord *pRec) {
  int nLen = 8;
  if (pRec->nSocksState == 5) {
    pRec->mSocksReply[1] = 0;
    nLen = 4 + pRec->nSocksAddrLen;
    if (nLen > static_cast<int>(kSocksReplyMax)) nLen = static_cast<int>(kSocksReplyMax);
  } else {
    pRec->mSocksReply[1] = 90;
  }
  return SendReply(pRec, pRec->mSocksReply, nLen);
}

int SocksSendRefusal(ConnectionRecord *pRec, int bBlackList) {
  int nVersion = pRec->nSocksState == 5 || (pRec->nSocksState != 4 && pRec->mRecv[0] == 5) ? 5 : 4;
  int nCode = nVersion == 5 ? (bBlackList ? 2 : 1) : (bBlackList ? 91 : 92);
  char reply[kSocksReplyMax];
  int nLen = BuildSocksRefusal(nVersion, nCode, reply);
  return SendReply(pRec, reply, nLen);
}

namespace {

// BIND and UDP ASSOCIATE, served on the connection thread.  A function of
// its own: the endpoint record it builds would otherwise sit in the
// negotiation's stack frame, and every idle client's thread would keep
// those stack pages.
__attribute__((noinline)) void BindOrAssociate(ConnectionRecord *pRec, const SocksRequest &req, int nVersion) {
  const int nSock = pRec->nSock;
  EndpointRecord ep;
  memset(&ep, 0, sizeof ep);
  ep.nSock = nSock;
  CopyText(ep.mIP, sizeof ep.mIP, pRec->mLocalIP.c_str());
  ep.nPort = GetDataPort(req.nAtyp != 4);
  if (req.nCmd == 3) {
    if (nVersion != 5) {
      // SOCKS 4 has no UDP ASSOCIATE.
      RefuseRequest(pRec, 4, "command not supported");
      return;
    }
    CopyText(ep.mSvIP, sizeof ep.mSvIP, pRec->mClientIP.c_str());
    UDPMain(&ep, pRec);
  } else {
    CopyText(ep.mSvIP, sizeof ep.mSvIP, pRec->mSocksHost.c_str());
    ep.nSvPort = pRec->nSocksPort;
    SocksBindMain(&ep, pRec);
  }
}

}  // namespace

int SocksHttpStart(ConnectionRecord *pRec) {
  memset(pRec->mSocksReply, 0, sizeof pRec->mSocksReply);
  pRec->nSocksState = -1;
  if (SOCKS45Res1(pRec) != 1) return 0;
  return SOCKS45Res2(pRec) == 1 ? 1 : 0;
}

int SocksNegotiate(ConnectionRecord *pRec) {
  const int nSock = pRec->nSock;
  pRec->nSocksState = -1;
  if (FixedForward(pRec)) return kSocksNextRelay;

  // Greeting (for SOCKS 4 it is the request itself).
  int bNever = 0;
  Carry carry;
  int nLen = CollectMessage(pRec, SocksGreetingComplete, &carry, &bNever);
  int nVersion = Raw(pRec)[0];
  if (nLen < 0 || !VersionAllowed(nVersion)) return kSocksNextEnd;

  SocksRequest req;
  if (nVersion == 4) {
    // SOCKS 4 carries no password: with proxy credentials demanded, a
    // SOCKS 4 client would pass unchecked.
    if (g_bProxyAuth == 1) {
      RefuseRequest(pRec, 4, "credentials required");
      return kSocksNextEnd;
    }
    if (ParseSocks4Request(Raw(pRec), static_cast<std::size_t>(nLen), &req) != 1) {
      RefuseRequest(pRec, 4, "unusable destination");
      return kSocksNextEnd;
    }
  } else {
    int nMethod = ChooseSocks5Method(Raw(pRec), static_cast<std::size_t>(nLen), g_bProxyAuth == 1);
    const char reply[2] = {0x05, static_cast<char>(nMethod)};
    if (SendReply(pRec, reply, 2) != 1 || nMethod == 0xFF) return kSocksNextEnd;
    if (nMethod == 2 && Authenticate(pRec, &carry) != 1) return kSocksNextEnd;
    nLen = CollectMessage(pRec, Socks5RequestComplete, &carry, &bNever);
    if (nLen < 0) {
      // An unknown address type or a wrong version: nothing could ever
      // complete the request.
      if (bNever) DebugLogF("[AcceptClients] [%04d] SOCKS request refused: malformed request.\n", nSock);
      return kSocksNextEnd;
    }
    if (ParseSocks5Request(Raw(pRec), static_cast<std::size_t>(nLen), &req) != 1) {
      RefuseRequest(pRec, 5, "unusable destination");
      return kSocksNextEnd;
    }
  }

  MetricCount(kMetRequestSocks);
  pRec->nSocksAtyp = req.nAtyp;
  pRec->nSocksAddrLen = req.nAddrLen;
  pRec->mSocksHost.Assign(req.mHost.view());
  pRec->nSocksPort = req.nPort;
  pRec->mSocksTarget.Assign(req.mTarget.view());

  // Classification by the SOCKS protocol list.
  int32_t bPass = 0;
  pRec->nRelayProto = Query_SocksProtocol(pRec->mSocksTarget.c_str(), pRec->nSocksPort, &bPass);
  pRec->bPassThrough = bPass;
  pRec->nEffProto = static_cast<uint32_t>(pRec->nRelayProto);

  if (req.nCmd == 2 || req.nCmd == 3) {
    BindOrAssociate(pRec, req, nVersion);
    return kSocksNextEnd;
  }
  // Bytes the client sent right behind its request belong to the
  // connection: the relay or the HTTP loop takes them before reading more.
  memcpy(pRec->mClientCarry, pRec->mWork, carry.nLen);
  pRec->nClientCarry = static_cast<int32_t>(carry.nLen);
  if (!pRec->bPassThrough && pRec->nRelayProto == 0) return kSocksNextHttp;
  return kSocksNextRelay;
}
