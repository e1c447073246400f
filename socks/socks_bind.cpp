// SocksBindMain, SocksBindDispatch and the SOCKS data relays.
#include "socks/socks_bind.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/fixed_text.h"
#include "core/file_pieces.h"
#include "core/lists.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "net/connection_alloc.h"
#include "net/data_port.h"
#include "net/http_io.h"
#include "platform/plat_file.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "platform/plat_udp.h"
#include "socks/socks.h"
#include "socks/socks_wire.h"

namespace {

// A failed block allocation is tried again this often, 100 ms apart.
constexpr int kAllocAttempts = 50;
// Spool deletions: 50-ms attempts (10 s).
constexpr unsigned kDeleteAttempts = 200;

// Which of the two relays runs: their wait, direction and log texts.
struct RelayKind {
  const char *szName;        // "[ServerSocksSession]" ...
  const char *szRecvSide;    // "C" or "S"
  const char *szSendSide;    // "S" or "C"
  int bSecondToFirst;        // source is the block's second socket
};

constexpr RelayKind kServerKind = {"ServerSocksSession", "C", "S", 1};
constexpr RelayKind kClientKind = {"ClientSocksSession", "S", "C", 0};

int64_t RunRelay(TunnelBlock *pBlock, const RelayKind &kind) {
  const int nSrc = kind.bSecondToFirst ? pBlock->nSock : pBlock->nSvSock;
  const int nDst = kind.bSecondToFirst ? pBlock->nSvSock : pBlock->nSock;
  const int nTimeout = kind.bSecondToFirst ? g_nTmoClient : g_nTmoServer;
  PlatWaitReadable(nSrc, nTimeout);
  // "sockSv" names the first socket, "sockCl" the second.
  DebugLogF("[%s] Strat. sockSv=%04d, sockCl=%04d\n", kind.szName, pBlock->nSvSock, pBlock->nSock);
  FixedText<kPathSize> spool;
  spool.Format("%s%s/req-%d-%04d.dat", g_szDataDir.c_str(), "cache", g_nProxyMode, nSrc);
  FILE *fpNew = PlatFileOpen(spool.c_str(), "wb");
  if (fpNew) fclose(fpNew);

  int64_t nTotal = 0;
  int bStoreFailed = 0;
  int n;
  for (;;) {
    memset(pBlock->mBuf, 0, sizeof pBlock->mBuf);
    // A silent source ends the pass at the receive time-out: what came so
    // far is forwarded and the caller starts the next pass.
    n = PlatRecv(nSrc, pBlock->mBuf, static_cast<int>(kRecvChunk), nTimeout);
    if (n <= 0) break;
    DebugLogF("[%s] %s:recv(%04d):%d bytes.\n", kind.szName, kind.szRecvSide, nSrc, n);
    nTotal += n;
    if (PlatAppendFile(spool.c_str(), pBlock->mBuf, static_cast<std::size_t>(n)) != 1) {
      // What the spool lost cannot be forwarded: the pass fails whole.
      DebugLogF("[%s] spool write failed (%s).\n", kind.szName, spool.c_str());
      bStoreFailed = 1;
      break;
    }
  }
  DebugLogF("[%s] %s:recv(%04d):%d bytes. / WSAGetLastError() = %d\n", kind.szName, kind.szRecvSide, nSrc, n,
            n < 0 ? PlatLastError() : 0);

  FILE *fp = bStoreFailed ? nullptr : PlatSpoolOpenRetry(spool.c_str(), "rb", g_nRetryLimit ? g_nRetryLimit : 1);
  if (fp != nullptr) {
    SendFilePieces(fp, pBlock->mBuf, kRecvChunk + 1, [&](const char *p, std::size_t nRead) {
      int nSent = PlatSend(nDst, p, static_cast<int>(nRead));
      if (nSent < 0) {
        DebugLogF("[%s] %s:send(%04d):%d bytes. / WSAGetLastError() = %d\n", kind.szName, kind.szSendSide, nDst,
                  nSent, PlatLastError());
        return 0;
      }
      DebugLogF("[%s] %s:send(%04d):%d bytes.\n", kind.szName, kind.szSendSide, nDst, nSent);
      return 1;
    });
    fclose(fp);
  }
  PlatDeleteRetry(spool.c_str(), kDeleteAttempts);
  DebugLogF("[%s] End. sockSv=%04d, sockCl=%04d\n", kind.szName, pBlock->nSvSock, pBlock->nSock);
  return bStoreFailed ? -1 : nTotal;
}

// The BIND reply in the request's version and address type, naming the
// listening address and port.
int BindReply(const ConnectionRecord *pRec, const EndpointRecord &ep, int nCode, char *pOut) {
  int nVersion = pRec->mRecv[0] == 5 ? 5 : 4;
  return BuildSocksAddrReply(nVersion, nCode, pRec->nSocksAtyp, ep.mIP, ep.nPort, pOut);
}

int SendBindReply(ConnectionRecord *pRec, const EndpointRecord &ep, int nCode) {
  char reply[kSocksReplyMax];
  int nLen = BindReply(pRec, ep, nCode, reply);
  BinaryDump(pRec->nSock, reply, static_cast<std::size_t>(nLen));
  return PlatSend(pRec->nSock, reply, nLen) == nLen ? 1 : -1;
}

int FailCode(const ConnectionRecord *pRec) { return pRec->mRecv[0] == 5 ? 1 : 91; }

// Waits for the incoming connection until nEnd (steady milliseconds) and
// only while the SOCKS client is still there; bytes the client sends
// meanwhile are not forwarded in a BIND and are dropped.  1 the listener is
// ready, 0 time-out (errno ETIMEDOUT), kClientLeft, -1 failure.
constexpr int kClientLeft = -2;  // the SOCKS client closed during the wait

int WaitIncoming(PlatSocket sListen, PlatSocket sClient, int64_t nEnd) {
  char scratch[512];
  for (;;) {
    int64_t nLeft = nEnd - PlatSteadyMs();
    if (nLeft <= 0) {
      errno = ETIMEDOUT;
      return 0;
    }
    int r = PlatWaitEither(sListen, sClient, static_cast<int>(nLeft));
    if (r == 1 || r <= 0) {
      if (r == 0) errno = ETIMEDOUT;
      return r;
    }
    if (PlatRecv(sClient, scratch, sizeof scratch, 1) <= 0) return kClientLeft;
  }
}

}  // namespace

int64_t ServerSocksSession(TunnelBlock *pBlock) {
  int64_t nTotal = RunRelay(pBlock, kServerKind);
  delete pBlock;
  return nTotal;
}

int64_t ClientSocksSession(TunnelBlock *pBlock) { return RunRelay(pBlock, kClientKind); }

int SocksBindDispatch(ConnectionRecord *pIncoming, const EndpointRecord *pEp) {
  DebugLogF("[SocksBindDispatch] [%04d] SocksBindDispatch() start. %s %d\n", pIncoming->nSock, pEp->mIP, pEp->nPort);
  for (;;) {
    TunnelBlock *pBlock = nullptr;
    for (int i = 0; i < kAllocAttempts && pBlock == nullptr; ++i) {
      pBlock = new (std::nothrow) TunnelBlock();
      if (pBlock == nullptr) {
        DebugLogF("[SocksBindDispatch] [%04d] Memory allocation error = (%s)\n", pIncoming->nSock, strerror(ENOMEM));
        PlatSleepMs(100);
      }
    }
    if (pBlock == nullptr) break;
    pBlock->nSvSock = pEp->nSock;
    pBlock->nSock = pIncoming->nSock;
    if (ServerSocksSession(pBlock) == 0) break;
  }
  return 1;
}

int SocksBindMain(const EndpointRecord *pEp, ConnectionRecord *pRec) {
  EndpointRecord ep = *pEp;
  const int nSock = ep.nSock;
  DebugLogF("[SocksBindMain] [%04d] ls.mIP=%s / ls.nPort=%d / ls.nSvPort=%d\n", nSock, ep.mIP, ep.nPort, ep.nSvPort);
  const int nVersion = pRec->mRecv[0] == 5 ? 5 : 4;

  // SOCKS 4: a request without a user ID is refused with 93.
  if (nVersion == 4 && pRec->mRecv[8] == '\0') {
    SendBindReply(pRec, ep, 93);
    DebugLog("[SocksBindMain] socks ID fail.\n");
    return 0;
  }

  // White list first; a black-list hit refuses the BIND.
  FixedText<kDbListLine> key;
  key.Format("%s,socks,tcp,%s,%d", ep.mIP, ep.mSvIP, ep.nSvPort);
  if (char *pBlank = strrchr(key.data(), ' ')) *pBlank = ',';
  if (WhiteBlackVerdict(key.c_str(), nullptr) == kListBlack) {
    ConsoleF("[SocksBindMain] [%04d] blacklist [%s]\n", nSock, ep.mIP);
    SendBindReply(pRec, ep, nVersion == 5 ? 2 : 91);
    DebugLogF("[SocksBindMain] QueryDBList(%s) hit.\n", key.c_str());
    return 0;
  }

  ConnectionRecord *pIncoming = AllocConnectionRecord();
  if (pIncoming == nullptr) {
    SendBindReply(pRec, ep, FailCode(pRec));
    DebugLogF("[SocksBindMain] [%04d] memory alloc() failed\n", nSock);
    return 0;
  }
  DebugLogF("[SocksBindMain] [%04d] memory alloc()=%08x\n", nSock,
            static_cast<unsigned>(reinterpret_cast<uintptr_t>(pIncoming)));
  DebugLogF("[SocksBindMain] pldom = %s\n", ep.mIP);
  const int bIPv6 = strchr(ep.mIP, '.') == nullptr;
  DebugLogF("[SocksBindMain] [%04d] IP=%s\n", nSock, ep.mIP);

  int nResult = 0;
  PlatSocket sListen = kPlatNoSocket;
  // The address is the text up to its first blank.
  char szAddr[kAddrTextSize];
  CopyText(szAddr, sizeof szAddr, ep.mIP);
  szAddr[strcspn(szAddr, " ")] = '\0';
  unsigned char bytes[16];
  // The peer the request named, as an address (a name is looked up once).
  char szPeer[kAddrTextSize] = "";
  PlatSockAddr named;
  int nErr = 0;
  if (PlatResolveAddr(ep.mSvIP, "0", 0, 0, &named, &nErr) != 1 || PlatAddrText(&named, szPeer, sizeof szPeer) != 1) {
    SendBindReply(pRec, ep, FailCode(pRec));
    DebugLogF("[SocksBindMain] [%04d] peer %s cannot be resolved.\n", nSock, ep.mSvIP);
  } else if (ep.nPort <= 0 || PlatAddrBytes(szAddr, bIPv6, bytes) != 1) {
    SendBindReply(pRec, ep, FailCode(pRec));
    DebugLogF("[SocksBindMain] [%04d] getaddrinfo failed with error\n", nSock);
  } else {
    int r = PlatBindListener(bIPv6, szAddr, ep.nPort, &sListen);
    if (r == kListenNoSocket) {
      DebugLogF("[SocksBindMain] [%04d] socket() failed. WSAGetLastError() = %d\n", nSock, PlatLastError());
      SendBindReply(pRec, ep, FailCode(pRec));
    } else if (r != kListenOk) {
      DebugLogF("[SocksBindMain] [%04d] bind() failed with error. WSAGetLastError() = %d\n", nSock, PlatLastError());
      SendBindReply(pRec, ep, FailCode(pRec));
      DebugLog("[SocksBindMain] socks fail.\n");
    } else if (PlatListen(sListen, 1) != 1) {
      DebugLogF("[SocksBindMain] [%04d] listent() failed. WSAGetLastError() = %d\n", nSock, PlatLastError());
      SendBindReply(pRec, ep, FailCode(pRec));
    } else {
      DebugLog("wait select()\n");
      SendBindReply(pRec, ep, nVersion == 5 ? 0 : 90);
      // The wait has one limit, the client time-out (300 s when none);
      // connections from others than the named peer do not extend it.
      const int64_t nEnd = PlatSteadyMs() + (g_nTmoClient > 0 ? g_nTmoClient : kSocksBindWaitMs);
      PlatSocket sIn = kPlatNoSocket;
      PlatSockAddr peer;
      int bRefused = 1;
      while (sIn == kPlatNoSocket && bRefused) {
        int w = WaitIncoming(sListen, nSock, nEnd);
        if (w == kClientLeft) {
          DebugLogF("[SocksBindMain] [%04d] client closed before accept.\n", nSock);
          break;
        }
        if (w != 1) {
          DebugLogF("[SocksBindMain] [%04d] select() failed. WSAGetLastError() = %d\n", nSock, PlatLastError());
          break;
        }
        DebugLogF("[SocksBindMain] wait accept(%04d)\n", sListen);
        // RFC 1928: the incoming connection must come from the address the
        // request named.
        sIn = AcceptExpectedPeer(sListen, szPeer, 0, &peer, &bRefused, "SocksBindMain", nSock);
        DebugLogF("[SocksBindMain] start accept(%04d)\n", sListen);
        if (sIn == kPlatNoSocket && !bRefused)
          DebugLogF("[SocksBindMain] [%04d] accept() failed. WSAGetLastError() = %d\n", nSock, PlatLastError());
      }
      if (sIn != kPlatNoSocket) {
        DebugLogF("[SocksBindMain] Accept Client sokect.(%08x)(%08x)\n", static_cast<unsigned>(sIn),
                  static_cast<unsigned>(sListen));
        PlatSetSendTimeout(sIn, g_nTmoClient);
        PlatSetRecvTimeout(sIn, g_nTmoClient);
        pIncoming->nSock = sIn;
        pIncoming->nFamily = PlatAddrFamily(&peer);
        SocksBindDispatch(pIncoming, &ep);
        PlatShutdownClose(sIn);
        pIncoming->nSock = 0;
        nResult = 1;
      }
    }
  }
  if (sListen != kPlatNoSocket) PlatCloseSocket(sListen);
  FreeConnectionRecord(pIncoming);
  return nResult;
}
