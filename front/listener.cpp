#include "front/listener.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/fixed_text.h"
#include "core/lists.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/retry.h"
#include "core/settings.h"
#include "front/connection.h"
#include "net/dnsbl.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "platform/plat_tls.h"
#include "net/tls_settings.h"

namespace {

// The wait covers at most this many listening sockets.
constexpr int kMaxListeners = 64;
// Shortest bound of each wait of a client's TLS handshake; "Timeout
// Client(SSL)" raises it.
constexpr int kTlsHandshakeBoundMs = 10000;

// The listening sockets of the instance, in list order.
PlatSocket *g_pListenSocks = nullptr;
int g_nListenSocks = 0;

bool IsIPv4Entry(const char *szEntry) { return strchr(szEntry, '.') != nullptr; }
bool IsIPv6Entry(const char *szEntry) { return !IsIPv4Entry(szEntry) && strchr(szEntry, ':') != nullptr; }

bool FitsMode(const char *szEntry, int nPass) {
  // Mode 2 binds the IPv4 entries in its first pass, the IPv6 ones in its
  // second, so each pass looks at one family only.
  if (g_nIPVersion == 0 || (g_nIPVersion == 2 && nPass == 0)) return IsIPv4Entry(szEntry);
  return IsIPv6Entry(szEntry);
}

void CloseListeners() {
  for (int i = 0; i < g_nListenSocks; ++i) PlatShutdownClose(g_pListenSocks[i]);
  free(g_pListenSocks);
  g_pListenSocks = nullptr;
  g_nListenSocks = 0;
}

// Binds one entry ("addr" or "addr port").  1 done, -1 failure (logged).
int BindEntry(const char *szEntry, int nDefaultPort) {
  DebugLogF("[AcceptClients] listen=%s\n", szEntry);
  FixedText<kListenListSize> addr;
  addr.Assign(szEntry);
  int nPort = nDefaultPort;
  char *pSpace = strchr(addr.data(), ' ');
  if (pSpace) {
    nPort = atoi(pSpace + 1);
    *pSpace = '\0';
  }
  PlatSocket s = kPlatNoSocket;
  int r = PlatBindListener(IsIPv4Entry(szEntry) ? 0 : 1, addr.c_str(), nPort, &s);
  if (r == kListenBindFailed) DebugLog("[AcceptClients] bind() failed with error\n");
  if (r != kListenOk) return -1;
  g_pListenSocks[g_nListenSocks++] = s;
  return 1;
}

// Opens one bound, listening socket per listen entry that fits the address
// families asked for.
int SetUpListeners(const EndpointRecord &ep) {
  int nIPv4 = 0, nIPv6 = 0;
  for (const char *p = ep.mIP; *p && p < ep.mIP + kListenListSize; p += strlen(p) + 1) {
    DebugLogF("[AcceptClients] table=%s\n", p);
    if (IsIPv4Entry(p))
      ++nIPv4;
    else if (IsIPv6Entry(p))
      ++nIPv6;
  }
  int nWanted = g_nIPVersion == 0 ? nIPv4 : g_nIPVersion == 1 ? nIPv6 : nIPv4 + nIPv6;
  if (nWanted == 0) {
    // Nothing to listen on would mean waiting for ever on nothing.
    DebugLog("[AcceptClients] no listen address\n");
    return -1;
  }
  g_pListenSocks = static_cast<PlatSocket *>(calloc(static_cast<size_t>(nWanted), sizeof(PlatSocket)));
  if (!g_pListenSocks) return -1;
  int nPasses = g_nIPVersion == 2 ? 2 : 1;
  for (int nPass = 0; nPass < nPasses; ++nPass) {
    for (const char *p = ep.mIP; *p && p < ep.mIP + kListenListSize; p += strlen(p) + 1) {
      if (!FitsMode(p, nPass)) continue;
      if (BindEntry(p, ep.nPort) != 1) return -1;
    }
  }
  for (int i = 0; i < g_nListenSocks; ++i)
    if (PlatListen(g_pListenSocks[i], g_nMaxConn) != 1) return -1;
  return 1;
}

// Finds this host's fully qualified name.
void FindHostDomain() {
  char szHost[256];
  char szCanon[512] = "";
  int bIPv6 = g_nIPVersion == 1;
  int r = -1;
  for (int nTry = 0; nTry < 2 && r != 1; ++nTry) {
    if (PlatHostName(szHost, sizeof szHost) == 1) r = PlatCanonicalName(szHost, bIPv6, szCanon, sizeof szCanon);
  }
  g_szHostDomain.Assign(r == 1 ? szCanon : "");
  if (!strchr(g_szHostDomain.c_str(), '.')) g_szHostDomain.Append(".");
  DebugLogF("[AcceptClients] host.domain=[%s]\n", g_szHostDomain.c_str());
}

const char *AcceptErrorLine(int nErr) {
  switch (PlatWsaCode(nErr)) {
    case 10014: return "[AcceptClients] WSAEFAULT\n";
    case 10022: return "[AcceptClients] WSAEINVAL\n";
    case 10024: return "[AcceptClients] WSAEMFILE\n";
    case 10035: return "[AcceptClients] WSAEWOULDBLOCK\n";
    case 10036: return "[AcceptClients] WSAEINPROGRESS\n";
    case 10038: return "[AcceptClients] WSAENOTSOCK\n";
    case 10045: return "[AcceptClients] WSAEOPNOTSUPP\n";
    case 10050: return "[AcceptClients] WSAENETDOWN\n";
    case 10055: return "[AcceptClients] WSAENOBUFS\n";
    default: return "[AcceptClients] UNKNOWN CODE\n";
  }
}

const char *WaitErrorName(int nErr) {
  switch (PlatWsaCode(nErr)) {
    case 10004: return "WSAEINTR";
    case 10014: return "WSAEFAULT";
    case 10022: return "WSAEINVAL";
    case 10036: return "WSAEINPROGRESS";
    case 10038: return "WSAENOTSOCK";
    case 10050: return "WSAENETDOWN";
    default: return "WSA OTHER";
  }
}

// Clients are only taken while the accepted socket's number (the lowest
// free descriptor) stays below this ceiling: the connection threads always
// keep room for their spool files, server sockets and log lines, and the
// listener for its own accepts.  A client above it is closed at once (it
// sees the connection end) rather than left hanging or run into failures.
// The headroom is an eighth of the process's descriptor limit, 16 to 256.
int g_nFdCeiling = 0;

void SetFdCeiling() {
  int nLimit = PlatDescriptorLimit();
  int nRoom = nLimit / 8;
  if (nRoom < 16) nRoom = 16;
  if (nRoom > 256) nRoom = 256;
  g_nFdCeiling = nLimit - nRoom;
}

// A run of failed accepts and clients closed at the ceiling.  Only the
// first of a run is logged; the first client taken after it logs what the
// run held.
struct AcceptTrouble {
  int nFailures;
  int nRefused;
  int nPauseMs;
};

constexpr int kFirstPauseMs = 10;
constexpr int kLongestPauseMs = 1000;

// An accept failed (out of descriptors after all, out of memory...).  The
// client stays queued and the wait would wake at once: the loop pauses,
// 10 ms doubling up to 1 s, so that it never spins.
void OnAcceptFailure(int nErr, AcceptTrouble *pT) {
  if (pT->nFailures++ == 0) {
    DebugLog(AcceptErrorLine(nErr));
    DebugLog("[AcceptClients] invalid socket\n");
  }
  pT->nPauseMs = pT->nPauseMs == 0 ? kFirstPauseMs : pT->nPauseMs * 2;
  if (pT->nPauseMs > kLongestPauseMs) pT->nPauseMs = kLongestPauseMs;
  PlatSleepMs(pT->nPauseMs);
}

// A client accepted above the descriptor ceiling: closed at once.
void RefuseAtCeiling(PlatSocket sClient, AcceptTrouble *pT) {
  if (pT->nRefused++ == 0)
    DebugLogF("[AcceptClients] [%04d] Reject descriptor limit (%d)\n", sClient, PlatDescriptorLimit());
  PlatShutdownClose(sClient);
}

// Drops a client that never reached its thread: shutdown, close, the close
// line, the record freed.
void DropClient(ConnectionRecord *pRec) {
  PlatShutdownClose(pRec->nSock);
  DebugLogF("[AcceptClients] [%04d] Close Client socket.\n", pRec->nSock);
  FreeConnectionRecord(pRec);
}

// Fills the record of an accepted client: addresses, names and ports.
// 1 filled, -1 the client was dropped (logged, record freed).
int FillRecord(ConnectionRecord *pRec, PlatSocket sClient, const PlatSockAddr &peer) {
  pRec->nSock = sClient;
  // mWork and mLine are empty already (the record arrives zero-filled);
  // writing them would make their pages resident for an idle client.
  pRec->mSvHost.Clear();
  pRec->mHostDomain.Clear();
  pRec->bPassThrough = 0;
  pRec->bConnTable = 0;
  pRec->pClientCtx = pRec->pClientSSL = pRec->pServerCtx = pRec->pServerSSL = nullptr;
  pRec->nExchangeKind = 0;
  pRec->nLocalAddrLen = 16;

  PlatSockAddr local;
  if (PlatLocalAddress(sClient, &local) != 1) {
    DebugLog("[AcceptClients] getsockname error\n");
    DropClient(pRec);
    return -1;
  }
  bool bLocal6 = PlatAddrFamily(&local) == kFamilyIPv6;
  pRec->nLocalAddrLen = bLocal6 ? 28 : 16;
  if (bLocal6)
    memcpy(pRec->sinLocal6, local.m, sizeof pRec->sinLocal6);
  else
    memcpy(pRec->sinLocal4, local.m, sizeof pRec->sinLocal4);

  pRec->mHostDomain.Assign(g_szHostDomain.view());
  char szLocalIP[kAddrTextSize] = "";
  PlatAddrText(&local, szLocalIP, sizeof szLocalIP);
  pRec->mLocalIP.Assign(szLocalIP);
  pRec->nLocalPort = PlatAddrPort(&local);

  if (g_nProxyMode == kModeSmtp) pRec->bZipAttach = ZipListed(pRec->mLocalIP.c_str(), static_cast<int>(pRec->nLocalPort));

  char szName[256];
  int nRev = PlatReverseName(szLocalIP, szName, sizeof szName);
  if (nRev < 0)
    pRec->mLocalName.Format("[%s]", szLocalIP);
  else
    pRec->mLocalName.Assign(szName);
  // This host's name for the local address: the canonical name of the
  // address's reverse name, when it is a fully qualified one.
  char szCanon[512];
  if (nRev == 1 && PlatCanonicalName(szName, bLocal6, szCanon, sizeof szCanon) == 1 && strchr(szCanon, '.'))
    pRec->mHostDomain.Assign(szCanon);

  char szPeer[kAddrTextSize];
  bool bPeer6 = PlatAddrFamily(&peer) == kFamilyIPv6;
  if (PlatAddrText(&peer, szPeer, sizeof szPeer) != 1) {
    DebugLog(bPeer6 ? "[AcceptClients] inet_ntop(sinListener6.sin6_addr) = NULL\n"
                    : "[AcceptClients] inet_ntop(sinListener.sin_addr) = NULL\n");
    DropClient(pRec);
    return -1;
  }
  DebugLogF("[AcceptClients] [%04d] Connect from [%s]\n", sClient, szPeer);
  pRec->mClientIP.Assign(szPeer);
  pRec->mClientHost.Assign(szPeer);
  pRec->mMailFile.Clear();
  pRec->bClientIPv4 = pRec->mClientIP.Empty() || strchr(pRec->mClientIP.c_str(), '.') != nullptr;
  pRec->nFamily = bPeer6 ? kFamilyIPv6 : kFamilyIPv4;
  return 1;
}

// Runs the admission checks: permission list, DNS block list, TLS lookup.
// 1 admitted; -1 rejected (logged, the client dropped, the record freed).
int Admit(ConnectionRecord *pRec) {
  const int nSock = pRec->nSock;
  const char *szClient = pRec->mClientIP.c_str();
  if (QueryConnectPerimisson(szClient) == 0) {
    DebugLogF("[AcceptClients] [%04d] Reject QueryConnectPerimisson() [%s]\n", nSock, szClient);
    MetricCount(kMetRefusedPermission);
    DropClient(pRec);
    return -1;
  }
  if (Query_DNSBL(szClient) != 0) {
    DebugLogF("[AcceptClients] [%04d] Reject Query_DNSBL() [%s]\n", nSock, szClient);
    MetricCount(kMetRefusedDnsbl);
    DropClient(pRec);
    return -1;
  }

  pRec->pClientSSL = pRec->pServerSSL = pRec->pClientSSLCopy = pRec->pServerSSLCopy = nullptr;
  if (Query_SecureSocketLayer(szClient, static_cast<int>(pRec->nLocalPort), &pRec->mCertFile, &pRec->mKeyFile) == 0)
    return 1;
  // The handshake runs on the client's own thread (AcceptClientTls): a
  // client that connects and stays silent must not stop the accepting of
  // every other client.
  pRec->bTlsAccept = 1;
  return 1;
}

// Starts the connection thread, with retries.  The record belongs to the
// thread once it started.
void StartConnectionThread(ConnectionRecord *pRec) {
  int nErr = StartThreadRetry(PROXYMainThread, pRec);
  if (nErr == 0) return;
  DebugLogF("[AcceptClients] [%04d] PROXYMain() beginthread failed.(%d)\n", pRec->nSock, nErr);
  if (pRec->pClientCtx) PlatTlsRelease(pRec->pClientSSL);
  PlatShutdownClose(pRec->nSock);
  FreeConnectionRecord(pRec);
}

}  // namespace

int AcceptClientTls(ConnectionRecord *pRec) {
  if (!pRec->bTlsAccept) return 1;
  pRec->bTlsAccept = 0;
  const int nSock = pRec->nSock;
  // The whole handshake is bounded by the client TLS time-out, and never
  // below 10 s; then the plain client time-outs of the listener apply again.
  const int nBound = g_nTmoClientSSL > kTlsHandshakeBoundMs ? g_nTmoClientSSL : kTlsHandshakeBoundMs;
  PlatSetSendTimeout(nSock, nBound);
  PlatSetRecvTimeout(nSock, nBound);
  void *pSsl = OpenSSLServer(&pRec->pClientCtx, nSock, pRec->mCertFile.c_str(), pRec->mKeyFile.c_str(), nBound);
  if (g_nTmoClient != 0) {
    PlatSetSendTimeout(nSock, g_nTmoClient);
    PlatSetRecvTimeout(nSock, g_nTmoClient);
  } else {
    PlatClearTimeouts(nSock);
  }
  if (!pSsl) {
    DebugLogF("[AcceptClients] [%04d] Reject Open SSL failed [%s]\n", nSock, pRec->mClientIP.c_str());
    DropClient(pRec);
    return -1;
  }
  pRec->pClientSSL = pSsl;
  pRec->pServerSSL = pRec->pServerSSLCopy = nullptr;
  if (!pRec->pClientCtx) {
    pRec->pClientSSL = pRec->pClientSSLCopy = nullptr;
  } else {
    pRec->pClientSSLCopy = pRec->pClientSSL;
  }
  pRec->pClientCtxCopy = pRec->pClientCtx;
  pRec->pServerCtxCopy = pRec->pServerCtx;
  pRec->pServerSSLCopy = pRec->pServerSSL;
  return 1;
}

int AcceptClients(EndpointRecord endpoint) {
  if (SetUpListeners(endpoint) != 1) {
    CloseListeners();
    return -1;
  }
  FindHostDomain();
  srand(static_cast<unsigned>(time(nullptr)));
  SetFdCeiling();
  PlatCatchStop();
  AcceptTrouble trouble = {0, 0, 0};

  const int nWait = g_nListenSocks < kMaxListeners ? g_nListenSocks : kMaxListeners;
  for (;;) {
    DebugLog("[AcceptClients] wait select()\n");
    int nIndex = 0;
    int nWaited = PlatWaitAcceptable(g_pListenSocks, nWait, &nIndex);
    if (nWaited == 0) {
      DebugLog("[AcceptClients] stop requested\n");
      CloseListeners();
      // Only an idle process ends in order; connections in progress end
      // with the process, as they did without the stop handling.
      if (g_nActiveConn.load() != 0) PlatStopNow();
      return 1;
    }
    if (nWaited != 1) {
      DebugLogF("[AcceptClients] %s%s\n", "select() failed. WSAGetLastError() = ", WaitErrorName(PlatLastError()));
      // Nothing is left to wait on: end so that start-up cleans up and the
      // process exits with a failure status.
      CloseListeners();
      return -1;
    }
    PlatSocket sListen = g_pListenSocks[nIndex];
    DebugLog("[AcceptClients] wait accept()\n");
    PlatSockAddr peer;
    PlatSocket sClient = PlatAccept(sListen, &peer);
    DebugLog("[AcceptClients] start accept()\n");
    if (sClient == kPlatNoSocket) {
      OnAcceptFailure(PlatLastError(), &trouble);
      continue;
    }
    if (sClient >= g_nFdCeiling) {
      RefuseAtCeiling(sClient, &trouble);
      continue;
    }
    if (trouble.nFailures > 0 || trouble.nRefused > 0) {
      DebugLogF("[AcceptClients] taking clients again after %d failed accepts and %d clients closed\n",
                trouble.nFailures, trouble.nRefused);
      trouble = AcceptTrouble{0, 0, 0};
    }
    DebugLogF("[AcceptClients] [%04d] Accept Client sokect.(%08x)\n", sClient, static_cast<unsigned>(sListen));
    MetricCount(kMetAccepted);
    ConnectionRecord *pRec = AllocConnectionRecord();
    DebugLogF("[AcceptClients] [%08x] memory alloc()\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(pRec)));
    if (!pRec) {
      // Out of memory: drop this client only.  The listening socket stays,
      // or one short allocation would end the service for everyone.
      PlatShutdownClose(sClient);
      continue;
    }
    if (FillRecord(pRec, sClient, peer) != 1) continue;
    if (g_nTmoClient != 0) {
      PlatSetSendTimeout(sClient, g_nTmoClient);
      PlatSetRecvTimeout(sClient, g_nTmoClient);
    }
    if (Admit(pRec) != 1) {
      if (endpoint.nListenOnce >= 1) return 1;
      continue;
    }
    StartConnectionThread(pRec);
    if (endpoint.nListenOnce >= 1) return 1;
  }
}
