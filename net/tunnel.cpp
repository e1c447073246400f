// The two copy loops of a tunnel (CONNECT, raw relay and SOCKS tunnels).
#include "net/tunnel.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "base/fixed_text.h"
#include "core/file_pieces.h"
#include "core/lists.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/retry.h"
#include "core/settings.h"
#include "net/connection_record.h"
#include "net/outbound.h"
#include "core/spool_file.h"
#include "net/http_io.h"
#include "platform/plat_file.h"
#include "platform/plat_splice.h"
#include "platform/plat_time.h"
#include "platform/plat_tls.h"

// Lets the connection thread wait until its ServerSession thread ended, so
// that no copy thread outlives the sockets it uses.  The two end marks tell
// that a side closed its sending direction: that end has been passed on to
// the other side, and no later pass reads that side again.
struct TunnelSync {
  std::mutex lock;
  std::condition_variable done;
  int nRunning = 0;
  std::atomic<int> bStop{0};
  std::atomic<int> bClientEnded{0};
  std::atomic<int> bServerEnded{0};
};

namespace {

// The most one zero-copy move takes at a time: the pipe's capacity.
constexpr std::size_t kSpliceMax = 65536;

// The client wait of one receive: "Timeout Client(Plain)" (at least 500 ms,
// as socket time-outs are), or the platform default when it is 0.
int ClientWaitMs() { return g_nTmoClient <= 0 ? 0 : (g_nTmoClient < 500 ? 500 : g_nTmoClient); }

// One direction of a tunnel: where it reads and writes, how it passes the
// end of its source on, and the texts of its log lines.
struct CopyDirection {
  const char *szTag;        // "ServerSession" / "ClientSession"
  int bFromClient;          // the source is the client socket (else the server's)
  int bClearBuffer;         // zero the transfer buffer before each receive
  int (*pfnWaitMs)();       // the source's wait of one splice move
  int (*pfnRecv)(TunnelBlock *pBlock);                              // into mBuf
  int (*pfnSend)(const TunnelBlock *pBlock, const char *p, std::size_t n);
  void (*pfnSourceEnded)(TunnelBlock *pBlock);  // the source closed its sending side
};

int ServerWaitMs() { return g_nTmoServer; }

// Client to server.  One wait for the client: the end of the tunnel wakes
// it by shutting the client's receiving down, so it needs no timer of its
// own.
int RecvFromClient(TunnelBlock *pBlock) {
  return SslRecv(pBlock->nSock, pBlock->pClientSSL, pBlock->mBuf, static_cast<int>(kRecvChunk), ClientWaitMs());
}
int SendToServer(const TunnelBlock *pBlock, const char *p, std::size_t n) {
  return HttpSendServer(pBlock->nSvSock, p, n);
}
// The client closed its sending side: the server reads the end of its
// input at once (a server that answers only then still answers in full)
// and the other direction goes on.
void ClientEnded(TunnelBlock *pBlock) {
  TunnelSync *pSync = pBlock->pSync;
  if (pSync != nullptr && pSync->bStop.load()) return;
  HttpShutdownSendServer(pBlock->nSvSock);
  if (pSync != nullptr) pSync->bClientEnded.store(1);
}

// Server to client.
int RecvFromServer(TunnelBlock *pBlock) { return HttpRecvServer(pBlock->nSvSock, pBlock->mBuf, kRecvChunk); }
int SendToClient(const TunnelBlock *pBlock, const char *p, std::size_t n) {
  return HttpSendClientSock(pBlock->nSock, pBlock->pClientSSL, p, n);
}
// The server closed its sending side: the client learns it at once, and
// may still send.
void ServerEnded(TunnelBlock *pBlock) {
  HttpShutdownSendClientSock(pBlock->nSock, pBlock->pClientSSL);
  if (pBlock->pSync != nullptr) pBlock->pSync->bServerEnded.store(1);
}

constexpr CopyDirection kToServer = {"ServerSession", 1, 1, ClientWaitMs, RecvFromClient, SendToServer, ClientEnded};
constexpr CopyDirection kToClient = {"ClientSession", 0, 0, ServerWaitMs, RecvFromServer, SendToClient, ServerEnded};

// 1 when a piece begins like a TLS record: content type 20 to 23, then the
// major version 3.
int StartsTlsRecord(const char *p, int n) {
  const unsigned char *u = reinterpret_cast<const unsigned char *>(p);
  return n >= 3 && u[0] >= 20 && u[0] <= 23 && u[1] == 3 && u[2] <= 4;
}

// The copy loop of one direction until its source ends or fails or a send
// fails.  Without TLS on the client side the bytes move inside the kernel.
// The client side's log lines name no socket, the server side's name the
// server socket: "C:recv:", "S:recv(0012):".  Returns the bytes moved.
int64_t CopyLoop(TunnelBlock *pBlock, const CopyDirection &d) {
  DebugLogF("[%s] [%04d] Strat %s(%04d).\n", d.szTag, pBlock->nSock, d.szTag, pBlock->nSvSock);
  FixedText<32> recvSide, sendSide;
  if (d.bFromClient) {
    recvSide.Assign("C:recv");
    sendSide.Format("S:send(%04d)", pBlock->nSvSock);
  } else {
    recvSide.Format("S:recv(%04d)", pBlock->nSvSock);
    sendSide.Assign("C:send");
  }
  const int nFrom = d.bFromClient ? pBlock->nSock : pBlock->nSvSock;
  const int nTo = d.bFromClient ? pBlock->nSvSock : pBlock->nSock;
  int64_t nTotal = 0;
  PlatSplicePipe pipe;
  // The first piece is copied, and it decides how the rest moves: plain
  // bytes move inside the kernel, TLS records (and all bytes of a TLS
  // client side) are copied.  Measured on loopback, a TLS download moved
  // about 15 % faster copied than zero-copy, a plain one 40 % slower.
  bool bSplice = false;
  bool bDecided = pBlock->pClientSSL != nullptr;
  for (;;) {
    int n;
    int bSendFailed = 0;
    if (bSplice) {
      n = PlatSpliceMove(nFrom, nTo, &pipe, kSpliceMax, d.pfnWaitMs(), &bSendFailed);
    } else {
      if (d.bClearBuffer) memset(pBlock->mBuf, 0, sizeof pBlock->mBuf);
      n = d.pfnRecv(pBlock);
    }
    if (bSendFailed) {
      DebugLogF("[%s] [%04d] %s:%d bytes tunneling. / WSAGetLastError() = %d\n", d.szTag, pBlock->nSock,
                sendSide.c_str(), -1, HttpLastError());
      break;
    }
    if (n <= 0) {
      DebugLogF("[%s] [%04d] %s:%d bytes tunneling. / WSAGetLastError() = %d\n", d.szTag, pBlock->nSock,
                recvSide.c_str(), n, n < 0 ? HttpLastError() : 0);
      if (n == 0) d.pfnSourceEnded(pBlock);
      break;
    }
    DebugLogF("[%s] [%04d] %s:%d bytes tunneling.\n", d.szTag, pBlock->nSock, recvSide.c_str(), n);
    nTotal += n;
    int nSent = bSplice ? n : d.pfnSend(pBlock, pBlock->mBuf, static_cast<std::size_t>(n));
    if (nSent < 0) {
      DebugLogF("[%s] [%04d] %s:%d bytes tunneling. / WSAGetLastError() = %d\n", d.szTag, pBlock->nSock,
                sendSide.c_str(), nSent, HttpLastError());
      break;
    }
    DebugLogF("[%s] [%04d] %s:%d bytes tunneling.\n", d.szTag, pBlock->nSock, sendSide.c_str(), nSent);
    if (!bDecided) {
      bDecided = true;
      bSplice = !StartsTlsRecord(pBlock->mBuf, n) && PlatSpliceOpen(&pipe) == 1;
    }
    // The loop runs until the source's side ends, in SOCKS mode too: a pass
    // that stopped after a piece ending a line would leave the client
    // unread, and its close unnoticed, until the server spoke again.
  }
  if (bSplice) PlatSpliceClose(&pipe);
  DebugLogF("[%s] [%04d] End %s(%04d).\n", d.szTag, pBlock->nSock, d.szTag, pBlock->nSvSock);
  return nTotal;
}

void ServerSessionThread(void *pArg) { ServerSession(static_cast<TunnelBlock *>(pArg)); }

}  // namespace

int64_t ServerSession(TunnelBlock *pBlock) {
  TunnelSync *pSync = pBlock->pSync;
  int64_t nTotal = CopyLoop(pBlock, kToServer);
  delete pBlock;
  if (pSync != nullptr) {
    std::lock_guard<std::mutex> guard(pSync->lock);
    --pSync->nRunning;
    pSync->done.notify_all();
  }
  return nTotal;
}

int64_t ClientSession(TunnelBlock *pBlock) {
  int64_t nTotal = CopyLoop(pBlock, kToClient);
  pBlock->nTotal = nTotal;
  return nTotal;
}

namespace {

// Sets up a block for one direction of the record's tunnel.
void FillTunnelBlock(TunnelBlock *pBlock, const ConnectionRecord *pRec, int nSv, TunnelSync *pSync) {
  memset(pBlock, 0, sizeof *pBlock);
  pBlock->nMode = g_nProxyMode == kModeSocks ? 1 : 0;
  pBlock->nSvSock = nSv;
  pBlock->nSock = pRec->nSock;
  pBlock->pClientSSL = pRec->pClientSSL;
  pBlock->pSync = pSync;
}

}  // namespace

void RunTunnelPasses(ConnectionRecord *pRec, int nSv, void (*pfnStartFailed)(int nSock, int nSvSock, int nErr),
                     void (*pfnAllocFailed)(int nSock, int nSvSock, int nErr)) {
  // A tunnel passes each piece on as it comes: without this a piece that
  // follows another before the peer's acknowledgement (an answer header
  // and its body sent apart) waits for the delayed acknowledgement, 40 ms
  // and more.
  HttpNoDelay(pRec->nSock);
  HttpNoDelay(nSv);
  TunnelSync sync;
  TunnelBlock *pOwn = new (std::nothrow) TunnelBlock;
  if (pOwn != nullptr) {
    for (;;) {
      // One pass: the client-to-server thread (unless the client's side has
      // ended), and this thread the other way.
      TunnelBlock *pBlock = nullptr;
      for (int nTry = 0; pBlock == nullptr && nTry < 100 && !sync.bClientEnded.load(); ++nTry) {
        pBlock = new (std::nothrow) TunnelBlock;
        if (pBlock == nullptr) {
          pfnAllocFailed(pRec->nSock, nSv, 12);
          PlatSleepMs(10);
        }
      }
      if (pBlock != nullptr) {
        FillTunnelBlock(pBlock, pRec, nSv, &sync);
        {
          std::lock_guard<std::mutex> guard(sync.lock);
          ++sync.nRunning;
        }
        int nErr = StartThreadRetry(ServerSessionThread, pBlock);
        if (nErr != 0) {
          pfnStartFailed(pRec->nSock, nSv, nErr);
          delete pBlock;
          std::lock_guard<std::mutex> guard(sync.lock);
          --sync.nRunning;
        }
      }
      FillTunnelBlock(pOwn, pRec, nSv, &sync);
      int64_t nMoved = ClientSession(pOwn);
      // The server's side has ended (and the client was told): what the
      // client still sends flows until its side ends too.  Otherwise a
      // pass that moved nothing ends the tunnel.
      if (sync.bServerEnded.load() || nMoved <= 0) break;
      // The next pass starts only when this pass's reader has ended, so
      // that two threads never read the client at once.
      std::unique_lock<std::mutex> guard(sync.lock);
      sync.done.wait(guard, [&] { return sync.nRunning == 0; });
    }
    delete pOwn;
  }
  if (sync.bServerEnded.load()) {
    std::unique_lock<std::mutex> guard(sync.lock);
    sync.done.wait(guard, [&] { return sync.nRunning == 0; });
  }
  // The server connection ends; a copy thread still waiting for the
  // client is woken by the end of the client's receiving and waited for,
  // so it never touches the client socket after this.
  sync.bStop.store(1);
  HttpCloseSocketShutdownOnly(nSv);
  {
    std::unique_lock<std::mutex> guard(sync.lock);
    if (sync.nRunning > 0) HttpShutdownReceive(pRec->nSock);
    sync.done.wait(guard, [&] { return sync.nRunning == 0; });
  }
}
