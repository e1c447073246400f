#include "net/outbound.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/limits.h"
#include "core/log.h"
#include "core/retry.h"
#include "core/settings.h"
#include "net/surbl.h"
#include "core/text_lines.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"

namespace {

// "HTTP handling": the HTTP handlers serve this connection (HTTP mode, or a
// SOCKS destination classified as HTTP).
bool HttpHandling(const ConnectionRecord *pRec) {
  return g_nProxyMode == kModeHttp || (g_nProxyMode == kModeSocks && pRec->nRelayProto == 0);
}

// Closes the kept server connection of the record before ConnectHost opens
// another (logged as ConnectHost; the HTTP handlers close theirs with
// CloseServer).
void CloseKeptServer(ConnectionRecord *pRec) {
  if (pRec->nSvSock == -1) return;
  PlatShutdownClose(pRec->nSvSock);
  DebugLogF("[ConnectHost] [%04d] Close Server socket. [%04d]\n", pRec->nSock, pRec->nSvSock);
  // The number is free for reuse by any thread now; keeping it would let a
  // later close hit somebody else's socket.
  pRec->nSvSock = -1;
}

int Resolve(const char *szServer, const char *szPort, int bIPv6, PlatAddrList **ppList, int *pErr) {
  int r = PlatResolve(szServer, szPort, bIPv6, ppList, pErr);
  // With both versions on, a name that has no address of the preferred
  // family may still have one of the other.
  if (r != 1 && g_nIPVersion == 2) r = PlatResolve(szServer, szPort, !bIPv6, ppList, pErr);
  return r;
}

// How the settings file's lines are read: comments are empty lines and
// lines beginning with a blank or a quote; only the first 1,023 characters
// of a line count.  The file's text is kept in memory while it does not
// change.
const LineRules kSettingsRules{LongLine::kDrop, kBlankQuoteComments, 0};

// The values of a connect-table line; *ppComment points at the comment
// (cut off the line) or is null.  1 taken, 0 no "=" or a value too long.
int SplitConnectLine(char *szLine, ConnectEntry *pEntry, const char **ppComment) {
  pEntry->mMyAddr.Clear();
  pEntry->mServer.Clear();
  pEntry->mPort.Clear();
  *ppComment = nullptr;
  char *pEq = strchr(szLine, '=');
  if (!pEq) return 0;
  char *pMyAddr = pEq + 1;
  char *pComma = strchr(pMyAddr, ',');
  int nFit = 1;
  if (!pComma) {
    nFit = pEntry->mMyAddr.Assign(pMyAddr);
  } else {
    char *pBlank = strchr(pComma + 1, ' ');
    if (!pBlank) {
      nFit = pEntry->mMyAddr.Assign(std::string_view(pMyAddr, static_cast<size_t>(pComma - pMyAddr)));
      nFit &= pEntry->mServer.Assign(pComma + 1);
    } else {
      char *pComment = strchr(pBlank + 1, ',');
      if (pComment) {
        *ppComment = pComment + 1;
        *pComment = '\0';
      }
      nFit = pEntry->mMyAddr.Assign(std::string_view(pMyAddr, static_cast<size_t>(pComma - pMyAddr)));
      nFit &= pEntry->mServer.Assign(std::string_view(pComma + 1, static_cast<size_t>(pBlank - pComma - 1)));
      nFit &= pEntry->mPort.Assign(pBlank + 1);
    }
  }
  if (!nFit) {
    // A cut address, server or port would connect somewhere else.
    pEntry->mMyAddr.Clear();
    pEntry->mServer.Clear();
    pEntry->mPort.Clear();
    return 0;
  }
  return 1;
}

}  // namespace

int ParseConnectLine(char *szLine, ConnectEntry *pEntry) {
  const char *szComment = nullptr;
  int r = SplitConnectLine(szLine, pEntry, &szComment);
  if (szComment) DebugLogF("[GetConnectTable] [Hit] %s\n", szComment);
  return r;
}

namespace {

// The lines of the open settings file against the three keys of the
// address and port.  Apart from GetConnectTable so that its buffers take
// stack only when the file exists.  1 matched, 0 not.
__attribute__((noinline)) int ScanConnectTable(LineSource *pSrc, const char *szAddr, int nPort,
                                               ConnectEntry *pEntry) {
  FixedText<128> keys[3];
  int nPort16 = nPort & 0xffff;
  keys[0].Format("%s %d=", szAddr, nPort16);
  keys[1].Format("%s %d+", szAddr, nPort16);
  keys[2].Format("%s %d-", szAddr, nPort16);
  return ForEachLine<kSettingsLine>(pSrc, kSettingsRules, [&](char *szLine) {
    for (const auto &key : keys) {
      if (strncasecmp(szLine, key.c_str(), key.Length()) == 0) {
        ParseConnectLine(szLine, pEntry);
        return 1;
      }
    }
    return 0;
  });
}

}  // namespace

int GetConnectTable(const char *szAddr, int nPort, ConnectEntry *pEntry) {
  pEntry->mMyAddr.Clear();
  pEntry->mServer.Clear();
  pEntry->mPort.Clear();
  TextFile file;
  if (OpenTextFile(g_szSettingsFile.c_str(), &file) != 1) {
    // Written without formatting: this runs for every connection, and the
    // stack pages a formatted print touches stay with an idle client's
    // thread.
    fputs("[GetConnectTable] file not found (", stdout);
    fputs(g_szSettingsFile.c_str(), stdout);
    fputs(")\n", stdout);
    fflush(stdout);
    return 0;
  }
  int nMatched = ScanConnectTable(&file.src, szAddr, nPort, pEntry);
  CloseTextFile(&file);
  return nMatched;
}

void ReadPortFlags(ConnectionRecord *pRec, char *szPort) {
  pRec->bPassThrough = 0;
  pRec->bSvTls = 0;
  pRec->bSvStartTls = 0;
  pRec->bSvNoVerify = 0;
  char *p = strchr(szPort, '*');
  if (p) {
    pRec->bPassThrough = 1;
    *p = '\0';
    return;
  }
  // The marks may be given in any order: look at all before cutting.
  char *pPlus = strchr(szPort, '+');
  char *pMinus = strchr(szPort, '-');
  char *pBang = strchr(szPort, '!');
  if (pPlus) pRec->bSvTls = 1;
  if (pMinus) pRec->bSvStartTls = 1;
  if (pBang) pRec->bSvNoVerify = 1;
  if (pPlus) *pPlus = '\0';
  if (pMinus) *pMinus = '\0';
  if (pBang) *pBang = '\0';
}

int LogUncheckedTlsEntries() {
  int nCount = 0;
  ScanTextFile<kSettingsLine>(g_szSettingsFile.c_str(), kSettingsRules, [&](char *szLine) {
    // The key: address, blank and port, up to the mark.
    int nKey = static_cast<int>(strcspn(szLine, "=+-"));
    ConnectEntry entry;
    const char *szComment = nullptr;
    if (SplitConnectLine(szLine, &entry, &szComment) != 1) return 0;
    const char *szPort = entry.mPort.c_str();
    if (!strchr(szPort, '!') || strchr(szPort, '*') || !strpbrk(szPort, "+-")) return 0;
    DebugLogF("TLS server check      = off: %.*s -> %s %s\n", nKey, szLine,
              entry.mServer.Empty() ? "(requested server)" : entry.mServer.c_str(), szPort);
    ++nCount;
    return 0;
  });
  return nCount;
}

int ConnectHost(ConnectionRecord *pRec, const char *szHost, int nPort, int bMayReuse, ConnectResult *pResult) {
  ConnectResult scratch;
  ConnectResult *pOut = pResult != nullptr ? pResult : &scratch;
  pOut->mServer.Clear();
  pOut->bUpstream = 0;
  pOut->bReused = 0;
  if (strnlen(szHost, 256) >= 256) return -1;
  const int nSock = pRec->nSock;
  const bool bHttp = HttpHandling(pRec);

  if (bHttp) {
    if (szHost[0] == '\0') {
      pRec->bKeepAlive = 0;
      CloseKeptServer(pRec);
      return -1;
    }
    bool bSameHost = g_nProxyMode == kModeHttp && strcmp(szHost, pRec->mSvHost.c_str()) == 0;
    if (bSameHost && bMayReuse && pRec->nSvSock != -1) {
      // The kept connection goes where the table sent it when it was
      // opened: still an upstream proxy if it was one.
      pOut->mServer.Assign(pRec->mSvName.view());
      pOut->bUpstream = strcmp(pRec->mSvName.c_str(), szHost) != 0;
      pOut->bReused = 1;
      return pRec->nSvSock;
    }
    if (!bSameHost && bMayReuse && !pRec->mSvHost.Empty()) CloseKeptServer(pRec);
  }

  pRec->mSvHost.Assign(szHost);
  int bIPv6 = g_nIPVersion == 1;

  ConnectEntry entry;
  GetConnectTable(pRec->mLocalIP.c_str(), static_cast<int>(pRec->nLocalPort), &entry);
  FixedText<256> server;
  FixedText<16> port;
  port.Assign(entry.mPort.view());
  PlatAddrList *pList = nullptr;
  int nErr = 0;
  int nResolved;
  int bUpstream = 0;

  if (g_nProxyMode == kModeHttp) {
    if (!port.Empty() && !entry.mServer.Empty())
      ReadPortFlags(pRec, port.data());
    else
      port.Format("%d", nPort);
    server.Assign(entry.mServer.Empty() ? std::string_view(szHost) : entry.mServer.view());
    // A destination listed by a SURBL/DNSBL zone is never connected.
    if (Query_SURBLists(szHost) == 1) return -1;
    DebugLogF("[ConnectHost] [%04d] Server=%s Port=%s\n", nSock, server.c_str(), port.c_str());
    nResolved = Resolve(server.c_str(), port.c_str(), bIPv6, &pList, &nErr);
    // A table server other than the host asked for is an upstream proxy:
    // the HTTP handlers then send their requests in absolute form.
    bUpstream = strcmp(server.c_str(), szHost) != 0;
    printf("[ConnectHost] [%04d] Connect %s:%s\n", nSock, server.c_str(), port.c_str());
    fflush(stdout);
  } else {
    server.Assign(entry.mServer.Empty() ? std::string_view(szHost) : entry.mServer.view());
    if (port.Empty()) port.Format("%d", nPort);
    // SOCKS under HTTP handling: the destination's SURBL check, as in HTTP
    // mode.
    if (g_nProxyMode == kModeSocks && pRec->nRelayProto == 0 && Query_SURBLists(szHost) == 1) return -1;
    DebugLogF("[ConnectHost] [%04d] Server=%s Port=%s\n", nSock, server.c_str(), port.c_str());
    // SOCKS keeps the flags its negotiation set.
    if (g_nProxyMode != kModeSocks)
      ReadPortFlags(pRec, port.data());
    else
      port.data()[strcspn(port.c_str(), "*+-!")] = '\0';
    nResolved = Resolve(server.c_str(), port.c_str(), bIPv6, &pList, &nErr);
  }

  if (nResolved != 1) {
    DebugLogF("[ConnectHost] [%04d] Server=%s Port=%s / Cannot resolve address, error %d: %s\n", nSock,
              server.c_str(), port.c_str(), nErr, PlatResolveErrorText(nErr));
    return -1;
  }

  pRec->mMyAddr.Assign(entry.mMyAddr.view());
  pRec->bMyAddrIPv4 = pRec->mMyAddr.Empty() || strchr(pRec->mMyAddr.c_str(), '.') != nullptr;

  PlatSocket s = PlatSocketFor(pList);
  if (s == kPlatNoSocket) {
    DebugLogF("[ConnectHost] [%04d] Server=%s Port=%s/ socket() failed.\n", nSock, server.c_str(), port.c_str());
    PlatFreeAddrList(pList);
    return -1;
  }
  if (g_nProxyMode != kModeHttp && !pRec->mMyAddr.Empty()) {
    if (PlatBindLocal(s, pRec->mMyAddr.c_str(), static_cast<int>(pRec->nLocalPort)) != 1)
      DebugLogF("[ConnectHost] [%04d] Server=%s Port=%s MyAddr=%s/ bind local adder failed.\n", nSock,
                server.c_str(), port.c_str(), pRec->mMyAddr.c_str());
  }

  // Each failed attempt closes its socket; the next one starts on a fresh
  // socket (one whose connect failed cannot be connected again everywhere).
  int nConnErr = 0;
  PlatSocket nFailedSock = kPlatNoSocket;
  int r = RetryWithGrowingPause(RetryAttempts(), [&] {
    if (s == kPlatNoSocket) {
      s = PlatSocketFor(pList);
      if (s == kPlatNoSocket) {
        DebugLogF("[ConnectHost] [%04d] Server=%s Port=%s / Rest Socket failed.\n", nSock, server.c_str(),
                  port.c_str());
        return -1;
      }
      DebugLogF("[ConnectHost] [%04d] Server=%s Port=%s / Reset Socket (%d) success. / WSAGetLastError() = %d\n",
                nSock, server.c_str(), port.c_str(), s, nConnErr);
    }
    if (PlatConnect(s, pList, g_nTmoServer) == 1) return 1;
    nConnErr = PlatLastError();
    PlatCloseSocket(s);
    nFailedSock = s;
    s = kPlatNoSocket;
    return 0;
  });
  if (r != 1) {
    if (r == 0)
      DebugLogF("[ConnectHost] [%04d] Server=%s Port=%s / Winsock connect failed. Socket=%d / WSAGetLastError() = %d\n",
                nSock, server.c_str(), port.c_str(), nFailedSock, nConnErr);
    PlatFreeAddrList(pList);
    return -1;
  }
  PlatFreeAddrList(pList);
  pRec->mSvName.Assign(server.view());

  if (g_nTmoServer != 0) PlatSetSendTimeout(s, g_nTmoServer);
  if (pRec->bPassThrough) {
    // Pass-through traffic is mostly TLS, whose peers pause differently.
    PlatSetRecvTimeout(pRec->nSock, g_nTmoClientSSL);
    PlatSetRecvTimeout(s, g_nTmoServerSSL);
  } else if (g_nTmoServer != 0) {
    PlatSetRecvTimeout(s, g_nTmoServer);
  }
  DebugLogF("[ConnectHost] [%04d] Winsock connect success. Socket=%d / Server=%s Port=%s\n", nSock, s,
            server.c_str(), port.c_str());
  pOut->mServer.Assign(server.view());
  pOut->bUpstream = bUpstream;
  return s;
}
