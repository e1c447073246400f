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

int SendClient(const TunnelBlock *pBlock, const char *p, std::size_t n) {
  return HttpSendClientSock(pBlock->nSock, pBlock->pClientSSL, p, n);
}

void ServerSessionThread(void *pArg) { ServerSession(static_cast<TunnelBlock *>(pArg)); }

}  // namespace

int64_t ServerSession(TunnelBlock *pBlock) {
  DebugLogF("[ServerSession] [%04d] Strat ServerSession(%04d).\n", pBlock->nSock, pBlock->nSvSock);
  TunnelSync *pSync = pBlock->pSync;
  int64_t nTotal = 0;
  // Without TLS on the client side the bytes move inside the kernel.
  PlatSplicePipe pipe;
  bool bSplice = pBlock->pClientSSL == nullptr && PlatSpliceOpen(&pipe) == 1;
  for (;;) {
    int n;
    int bSendFailed = 0;
    // One wait for the client: the end of the tunnel wakes it by shutting
    // the client's receiving down, so it needs no timer of its own.
    if (bSplice) {
      n = PlatSpliceMove(pBlock->nSock, pBlock->nSvSock, &pipe, kSpliceMax, ClientWaitMs(), &bSendFailed);
    } else {
      memset(pBlock->mBuf, 0, sizeof pBlock->mBuf);
      n = SslRecv(pBlock->nSock, pBlock->pClientSSL, pBlock->mBuf, static_cast<int>(kRecvChunk), ClientWaitMs());
    }
    if (bSendFailed) {
      DebugLogF("[ServerSession] [%04d] S:send(%04d):%d bytes tunneling. / WSAGetLastError() = %d\n", pBlock->nSock,
                pBlock->nSvSock, -1, HttpLastError());
      break;
    }
    if (n <= 0) {
      DebugLogF("[ServerSession] [%04d] C:recv:%d bytes tunneling. / WSAGetLastError() = %d\n", pBlock->nSock, n,
                n < 0 ? HttpLastError() : 0);
      // The client closed its sending side: the server reads the end of
      // its input at once (a server that answers only then still answers
      // in full) and the other direction goes on.
      if (n == 0 && (pSync == nullptr || !pSync->bStop.load())) {
        HttpShutdownSendServer(pBlock->nSvSock);
        if (pSync != nullptr) pSync->bClientEnded.store(1);
      }
      break;
    }
    DebugLogF("[ServerSession] [%04d] C:recv:%d bytes tunneling.\n", pBlock->nSock, n);
    nTotal += n;
    int nSent = bSplice ? n : HttpSendServer(pBlock->nSvSock, pBlock->mBuf, static_cast<std::size_t>(n));
    if (nSent < 0) {
      DebugLogF("[ServerSession] [%04d] S:send(%04d):%d bytes tunneling. / WSAGetLastError() = %d\n", pBlock->nSock,
                pBlock->nSvSock, nSent, HttpLastError());
      break;
    }
    DebugLogF("[ServerSession] [%04d] S:send(%04d):%d bytes tunneling.\n", pBlock->nSock, pBlock->nSvSock, nSent);
    // The loop runs until the client's side ends, in SOCKS mode too: a pass
    // that stopped after a piece ending a line would leave the client
    // unread, and its close unnoticed, until the server spoke again.
  }
  if (bSplice) PlatSpliceClose(&pipe);
  DebugLogF("[ServerSession] [%04d] End ServerSession(%04d).\n", pBlock->nSock, pBlock->nSvSock);
  delete pBlock;
  if (pSync != nullptr) {
    std::lock_guard<std::mutex> guard(pSync->lock);
    --pSync->nRunning;
    pSync->done.notify_all();
  }
  return nTotal;
}

int64_t ClientSession(TunnelBlock *pBlock) {
  DebugLogF("[ClientSession] [%04d] Strat ClientSession(%04d).\n", pBlock->nSock, pBlock->nSvSock);
  int64_t nTotal = 0;
  PlatSplicePipe pipe;
  bool bSplice = pBlock->pClientSSL == nullptr && PlatSpliceOpen(&pipe) == 1;
  for (;;) {
    int n;
    int bSendFailed = 0;
    if (bSplice)
      n = PlatSpliceMove(pBlock->nSvSock, pBlock->nSock, &pipe, kSpliceMax, g_nTmoServer, &bSendFailed);
    else
      n = HttpRecvServer(pBlock->nSvSock, pBlock->mBuf, kRecvChunk);
    if (bSendFailed) {
      DebugLogF("[ClientSession] [%04d] C:send:%d bytes tunneling. / WSAGetLastError() = %d\n", pBlock->nSock, -1,
                HttpLastError());
      break;
    }
    if (n <= 0) {
      DebugLogF("[ClientSession] [%04d] S:recv(%04d):%d bytes tunneling. / WSAGetLastError() = %d\n", pBlock->nSock,
                pBlock->nSvSock, n, n < 0 ? HttpLastError() : 0);
      // The server closed its sending side: the client learns it at once,
      // and may still send.
      if (n == 0) {
        HttpShutdownSendClientSock(pBlock->nSock, pBlock->pClientSSL);
        if (pBlock->pSync != nullptr) pBlock->pSync->bServerEnded.store(1);
      }
      break;
    }
    DebugLogF("[ClientSession] [%04d] S:recv(%04d):%d bytes tunneling.\n", pBlock->nSock, pBlock->nSvSock, n);
    nTotal += n;
    int nSent = bSplice ? n : SendClient(pBlock, pBlock->mBuf, static_cast<std::size_t>(n));
    if (nSent < 0) {
      DebugLogF("[ClientSession] [%04d] C:send:%d bytes tunneling. / WSAGetLastError() = %d\n", pBlock->nSock, nSent,
                HttpLastError());
      break;
    }
    DebugLogF("[ClientSession] [%04d] C:send:%d bytes tunneling.\n", pBlock->nSock, nSent);
  }
  if (bSplice) PlatSpliceClose(&pipe);
  DebugLogF("[ClientSession] [%04d] End ClientSession(%04d).\n", pBlock->nSock, pBlock->nSvSock);
  pBlock->nTotal = nTotal;
  return nTotal;
}

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
        memset(pBlock, 0, sizeof *pBlock);
        pBlock->nMode = g_nProxyMode == kModeSocks ? 1 : 0;
        pBlock->nSvSock = nSv;
        pBlock->nSock = pRec->nSock;
        pBlock->pClientSSL = pRec->pClientSSL;
        pBlock->pSync = &sync;
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
      memset(pOwn, 0, sizeof *pOwn);
      pOwn->nMode = g_nProxyMode == kModeSocks ? 1 : 0;
      pOwn->nSvSock = nSv;
      pOwn->nSock = pRec->nSock;
      pOwn->pClientSSL = pRec->pClientSSL;
      pOwn->pSync = &sync;
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
