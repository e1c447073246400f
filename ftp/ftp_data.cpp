#include "ftp/ftp_data.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <new>

#include "core/file_pieces.h"
#include "core/log.h"
#include "core/metrics.h"
#include "net/outbound.h"
#include "net/data_port.h"
#include "core/retry.h"
#include "inspect/scan_client.h"
#include "platform/plat_file.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"

namespace {

constexpr int kFlagPollMs = 10;
// Copies and deletions of spool and cache files are retried this often
// (50 ms apart) before they are given up.
constexpr unsigned kFileAttempts = 200;
// Attempts to write the status file before the thread gives up on it.
constexpr int kStatusWriteAttempts = 100;

// The longest wait of a data thread for something its peers or the
// control relay must do (the request flag file, the SOCKS direction file).
int PeerWaitMs() {
  int nMs = g_nTmoServer > g_nTmoClient ? g_nTmoServer : g_nTmoClient;
  return nMs > 0 ? nMs : kPlatDefaultWaitMs;
}

// A receive wait: the setting, or the platform default when it is 0.
int RecvWaitMs(int nSetting) { return nSetting > 0 ? nSetting : kPlatDefaultWaitMs; }

// Reads a small text file whole (at most nSize-1 bytes).  1 read, 0 missing.
int ReadSmallFile(const char *szPath, char *pBuf, std::size_t nSize) {
  FILE *fp = PlatFileOpen(szPath, "rb");
  if (fp == nullptr) return 0;
  std::size_t n = fread(pBuf, 1, nSize - 1, fp);
  pBuf[n] = '\0';
  fclose(fp);
  return 1;
}

// Copies a file over another, retrying every 50 ms while the source still
// exists.  1 copied, 0 not.
int CopyRetry(const char *szFrom, const char *szTo) {
  for (unsigned i = 0; i < kFileAttempts; ++i) {
    if (PlatCopyFile(szFrom, szTo, 1) == 1) return 1;
    if (!PlatFileExists(szFrom)) return 0;
    PlatSleepMs(kFilePollMs);
  }
  return 0;
}

// The direction character each data port's SOCKS direction file held when
// a reader took it, 0 while none has.
std::atomic<int> g_aSocksDirection[65536];

// A new data thread on the port: whatever an earlier transfer on it left
// (its direction, a file nobody read) is not this transfer's.
void ForgetSocksDirection(int nPort) {
  if (nPort <= 0 || nPort > 65535) return;
  g_aSocksDirection[nPort].store(0);
  PathText name;
  if (FtpSocksFlagName(&name, nPort)) PlatDeleteRetry(name.c_str(), kFileAttempts);
}

// Log texts of one of the two relays.
struct SessionText {
  const char *szTag;      // "ClientToServerDataSession" / "ServerToClientDataSession"
  const char *szRecvSide; // "C" / "S": the side received from
  int bFileSend;          // log the block sends in the "fread" form
};

constexpr SessionText kClientToServer = {"ClientToServerDataSession", "C", 1};
constexpr SessionText kServerToClient = {"ServerToClientDataSession", "S", 0};

// The protocol the virus scanner is told: the instance's, or in SOCKS mode
// the data record's.
int ScanProtocol(const ConnectionRecord *pData) {
  return g_nProxyMode == kModeSocks ? static_cast<int>(pData->nEffProto) : g_nProxyMode;
}

// Outcomes of the transfers, by request flag file name, for the control
// relay (FtpTransferOutcome).  A slot is free, or holds a running, a
// completed or a withheld transfer until the relay has read it.
constexpr int kSlotFree = 0;
constexpr int kSlotRunning = 1;
constexpr int kSlotDone = 2;
constexpr int kSlotWithheld = 3;
constexpr int kTransferSlots = 256;
// A transfer command whose flag file no data thread has taken yet: the
// thread polls every kFlagPollMs, so a short wait tells whether one will.
constexpr int kAnnouncedWaitMs = 2000;

struct TransferSlot {
  PathText name;
  int nState = kSlotFree;
  int bOrphan = 0;  // its reply has gone by: the outcome is not wanted
  int64_t nSince = 0;
};

std::mutex g_TransferLock;
std::condition_variable g_TransferChanged;
TransferSlot g_aTransfers[kTransferSlots];

TransferSlot *FindTransfer(const char *szFlagFn) {
  for (TransferSlot &t : g_aTransfers)
    if (t.nState != kSlotFree && strcmp(t.name.c_str(), szFlagFn) == 0) return &t;
  return nullptr;
}

void NoteTransfer(const char *szFlagFn, int nState) {
  std::lock_guard<std::mutex> lock(g_TransferLock);
  TransferSlot *pSlot = FindTransfer(szFlagFn);
  if (pSlot == nullptr) {
    // A free slot, else the one unread the longest (its relay is gone).
    for (TransferSlot &t : g_aTransfers) {
      if (t.nState == kSlotFree) {
        pSlot = &t;
        break;
      }
      if (pSlot == nullptr || t.nSince < pSlot->nSince) pSlot = &t;
    }
    pSlot->name.Assign(szFlagFn);
  }
  if (nState == kSlotRunning) pSlot->bOrphan = 0;
  pSlot->nState = nState;
  if (nState != kSlotRunning && pSlot->bOrphan) pSlot->nState = kSlotFree;
  pSlot->nSince = PlatSteadyMs();
  g_TransferChanged.notify_all();
}

// The one store-and-forward algorithm behind both relays.  Returns 1, 0
// when a send failed (or nothing could be sent), -1 when the transfer was
// withheld: the spool file did not take all of it, or no scanner gave a
// verdict while inspection is mandatory (nothing is sent then).
int RunDataSession(const SessionText &t, const char *szSpool, int nFrom, int nTo, char *pBuf,
                   ConnectionRecord *pData, int nCacheUse, const char *szCacheFn, int nRecvWaitMs) {
  PlatDeleteRetry(szSpool, kFileAttempts);
  FILE *fp = PlatSpoolCreate(szSpool, "wb");
  int bRecvError = 0;
  int bStoreFailed = fp == nullptr;
  uint64_t nTotal = 0;
  for (;;) {
    memset(pBuf, 0, kRecvChunk + 1);
    int n = PlatRecv(nFrom, pBuf, static_cast<int>(kRecvChunk), nRecvWaitMs);
    if (n < 0) {
      DebugLogF("[%s] %s:recv(%04d):%d bytes. / WSAGetLastError() = %d\n", t.szTag, t.szRecvSide, nFrom, n,
                PlatLastError());
      bRecvError = 1;
      break;
    }
    if (n == 0) break;
    DebugLogF("[%s] %s:recv(%04d):%d bytes.\n", t.szTag, t.szRecvSide, nFrom, n);
    if (n <= kFtpDataLogMax) DebugLogF("%.*s%s", n, pBuf, pBuf[n - 1] == '\n' ? "" : "\n");
    // A spool that cannot take the data must not pass for a whole transfer.
    if (bStoreFailed || PlatSpoolAppend(fp, pBuf, static_cast<std::size_t>(n)) != 1) {
      bStoreFailed = 1;
      break;
    }
    nTotal += static_cast<uint64_t>(n);
  }
  if (fp != nullptr && PlatSpoolClose(fp) != 1) bStoreFailed = 1;
  MetricBytes(t.szRecvSide[0] == 'C' ? kMetBytesFromClient : kMetBytesFromServer, static_cast<long long>(nTotal));
  if (bStoreFailed) {
    DebugLogF("[%s] [%04d] spool write failed, transfer withheld. (%s)\n", t.szTag, nFrom, szSpool);
    return -1;
  }

  MetricCount(kMetRequestFtp);
  char szVerdict[kScanReplySize] = "";
  int nScanned = ScanFile(ScanProtocol(pData), nFrom, szSpool, szVerdict);
  DebugLogF("[%s] [%04d] [%s] VIRUS result [%s]\n", t.szTag, nFrom, szSpool, szVerdict[0] ? szVerdict : "CLEAN");
  if (ScanMissing(nScanned)) {
    DebugLogF("[%s] [%04d] no verdict, transfer withheld. (%s)\n", t.szTag, nFrom, szSpool);
    return -1;
  }
  if (szVerdict[0]) {
    FixedText<kScanReplySize + 16> found;
    found.Format("Found %s\r\n", szVerdict);
    PlatWriteWholeFile(szSpool, found.c_str(), found.Length());
  }

  if (szCacheFn[0] != '\0') {
    if (nCacheUse) {
      DebugLogF("[%s] [%04d] FTP cash useing. %s\n", t.szTag, nFrom, szCacheFn);
      MetricCount(kMetCacheHit);
      // The spool holds the server's listing that stood in for the
      // download; without the cached copy it must not reach the client.
      if (!CopyRetry(szCacheFn, szSpool)) return 0;
    } else if (!bRecvError && nTotal > 0 && !szVerdict[0]) {
      // Only a whole, clean download becomes the cached copy: a cut or
      // failed transfer would be served as valid for the cache lifetime.
      DebugLogF("[%s] [%04d] FTP cash making. %s\n", t.szTag, nFrom, szCacheFn);
      MetricCount(kMetCacheStore);
      CopyRetry(szSpool, szCacheFn);
    }
  }

  FILE *in = PlatFileOpen(szSpool, "rb");
  if (in == nullptr) return 0;
  int nResult = SendFilePieces(in, pBuf, kRecvChunk, [&](const char *p, std::size_t nRead) {
    int nSent = PlatSend(nTo, p, static_cast<int>(nRead));
    MetricBytes(t.szRecvSide[0] == 'C' ? kMetBytesToServer : kMetBytesToClient, nSent);
    if (t.bFileSend)
      DebugLogF("[%s] S:send(%04d): fread %d bytes. / %d bytes. / WSAGetLastError() = %d\n", t.szTag, nTo,
                static_cast<int>(nRead), nSent, nSent < 0 ? PlatLastError() : 0);
    else
      DebugLogF("[%s] C:send(%04d):%d bytes.\n", t.szTag, nTo, nSent);
    return nSent < 0 ? 0 : 1;
  });
  fclose(in);
  return nResult;
}

}  // namespace

int FtpTransferOutcome(const char *szFlagFn, int nCode, int nWaitMs) {
  // Only "closing data connection" and "file action completed" report a
  // transfer as done; any other final reply ends the transfer's claim.
  const bool bCompletion = nCode == 226 || nCode == 250;
  const int64_t nStart = PlatSteadyMs();
  std::unique_lock<std::mutex> lock(g_TransferLock);
  for (;;) {
    const int64_t nWaited = PlatSteadyMs() - nStart;
    // A transfer command whose flag file no data thread has taken yet.
    if (PlatFileExists(szFlagFn) && nWaited < kAnnouncedWaitMs) {
      g_TransferChanged.wait_for(lock, std::chrono::milliseconds(kFlagPollMs));
      continue;
    }
    TransferSlot *pSlot = FindTransfer(szFlagFn);
    if (pSlot == nullptr) return 1;
    if (!bCompletion) {
      if (pSlot->nState == kSlotRunning)
        pSlot->bOrphan = 1;
      else
        pSlot->nState = kSlotFree;
      return 1;
    }
    if (pSlot->nState != kSlotRunning) {
      int bDone = pSlot->nState == kSlotDone;
      pSlot->nState = kSlotFree;
      return bDone;
    }
    if (nWaited >= nWaitMs) return 1;  // still running: the reply goes on as it is
    g_TransferChanged.wait_for(lock, std::chrono::milliseconds(kFilePollMs));
  }
}

int FtpSocksFlagName(PathText *pOut, int nPort) {
  return pOut->Format("%s%s/socks-%05d.flg", g_szDataDir.c_str(), "cache", nPort);
}

int FtpSocksDirection(int nPort, int nWaitMs) {
  PathText name;
  if (nPort <= 0 || nPort > 65535 || !FtpSocksFlagName(&name, nPort)) return -1;
  const int64_t nEnd = PlatSteadyMs() + nWaitMs;
  for (;;) {
    char szDir[8];
    if (ReadSmallFile(name.c_str(), szDir, sizeof szDir) && szDir[0] != '\0') {
      int c = static_cast<unsigned char>(szDir[0]);
      g_aSocksDirection[nPort].store(c);
      return c;
    }
    // The other reader took it and has already deleted the file.
    if (int c = g_aSocksDirection[nPort].load()) return c;
    if (PlatSteadyMs() >= nEnd) return -1;
    PlatSleepMs(kFilePollMs);
  }
}

int FtpHandOffName(PathText *pOut, const char *szExt, int nSvSock) {
  return pOut->Format("%s%s/req-%d-%04d.%s", g_szDataDir.c_str(), "cache", g_nProxyMode, nSvSock, szExt);
}

int FtpStartDataThread(const EndpointRecord *pEndpoint) {
  EndpointRecord *pCopy = new (std::nothrow) EndpointRecord;
  if (pCopy == nullptr) return ENOMEM;
  memcpy(pCopy, pEndpoint, sizeof *pCopy);
  int nErr = StartThreadRetry(FTPDataMain, pCopy);
  if (nErr == 0) return 0;
  delete pCopy;
  return nErr;
}

int FtpWaitStatus(const char *szLockFn, int nTimeoutMs, int *pnStatus) {
  int64_t nEnd = PlatSteadyMs() + nTimeoutMs;
  char szText[64];
  for (;;) {
    if (ReadSmallFile(szLockFn, szText, sizeof szText)) {
      *pnStatus = atoi(szText);
      PlatDeleteRetry(szLockFn, kFileAttempts);
      return 1;
    }
    if (PlatSteadyMs() >= nEnd) return 0;
    PlatSleepMs(1);
  }
}

void FTPDataStartupFlag(const EndpointRecord *pEndpoint, int nStatus) {
  if (pEndpoint->nListenOnce <= 0) return;
  char szText[32];
  int nLen = snprintf(szText, sizeof szText, "%d\n", nStatus);
  for (int i = 0; i < kStatusWriteAttempts; ++i) {
    if (PlatWriteWholeFile(pEndpoint->mLockFn, szText, static_cast<std::size_t>(nLen)) == 1) {
      DebugLog("[FTPDataStartupFlag] success.\n");
      PlatSleepMs(0);
      return;
    }
    printf("[FTPDataStartupFlag] mLockFn write fail.\n");
    fflush(stdout);
    PlatSleepMs(kFlagPollMs);
  }
}

int ParseFlagFile(const char *szText, int *pnDirection, int *pnCacheUse, char *pCacheFn, std::size_t nCacheFnSize,
                  int *pnPort) {
  *pnDirection = -1;
  *pnCacheUse = 0;
  *pnPort = 0;
  if (nCacheFnSize) pCacheFn[0] = '\0';
  if ((szText[0] != '0' && szText[0] != '1') || (szText[1] != '\n' && szText[1] != '\r')) return 0;
  *pnDirection = szText[0] - '0';
  const char *p = strchr(szText, '\n');
  if (p == nullptr) return 1;
  ++p;
  *pnCacheUse = atoi(p) == 1;
  p = strchr(p, '\n');
  if (p == nullptr) return 1;
  ++p;
  std::size_t nLen = strcspn(p, "\r\n");
  if (nLen >= nCacheFnSize) {
    *pnCacheUse = 0;
    return 0;
  }
  memcpy(pCacheFn, p, nLen);
  pCacheFn[nLen] = '\0';
  p = strchr(p, '\n');
  if (p != nullptr) *pnPort = atoi(p + 1);
  return 1;
}

int FTPDataDispatch(ConnectionRecord *pData, EndpointRecord *pEndpoint) {
  const int nSock = pData->nSock;
  DebugLogF("[FTPDataDispatch] [%04d] start. %s %d\n", nSock, pEndpoint->mSvIP, pEndpoint->nSvPort);
  PathText socksFlag;
  const bool bSocks = g_nProxyMode == kModeSocks;
  int nResult = 0;
  if (bSocks) {
    // The SOCKS data tunnel of the client's side reads the same file; wait
    // until the control relay has written it.
    FtpSocksFlagName(&socksFlag, pEndpoint->nPort);
    DebugLogF("[FTPDataDispatch] [%04d] _fsopen(%s, \"rt\")\n", nSock, socksFlag.c_str());
    FtpSocksDirection(pEndpoint->nPort, PeerWaitMs());
  }

  pData->nSvSock = -1;
  // A longer address than ConnectHost takes (255 characters) is refused
  // there, never cut into another one.
  int nSv = ConnectHost(pData, pEndpoint->mSvIP, pEndpoint->nSvPort, 0, nullptr);
  if (nSv < 0) {
    DebugLogF("[FTPDataDispatch] [%04d] Connect Server fail. [%04d]\n", nSock, -1);
  } else {
    DebugLogF("[FTPDataDispatch] [%04d] [%04d] sender connect success.\n", nSock, nSv);
    // The request flag file appears when the client sends its transfer
    // command; a client that never does must not hold the thread.
    char szFlag[1024];
    int nDirection = -1, nCacheUse = 0;
    char szCacheFn[sizeof pEndpoint->mCacheFn];
    int64_t nEnd = PlatSteadyMs() + PeerWaitMs();
    int bRead = 0;
    while (!(bRead = ReadSmallFile(pEndpoint->mFlagFn, szFlag, sizeof szFlag)) && PlatSteadyMs() < nEnd)
      PlatSleepMs(kFlagPollMs);
    if (bRead) {
      int nFlagPort = 0;
      if (ParseFlagFile(szFlag, &nDirection, &nCacheUse, szCacheFn, sizeof szCacheFn, &nFlagPort) != 1)
        nDirection = -1;
      if (nFlagPort != 0 && nFlagPort != pEndpoint->nPort) {
        // The file is meant for the thread of a later PASV/PORT: this one
        // was left behind (its client gave up) and ends without a transfer.
        nDirection = -1;
      } else {
        // Running before the file is gone, so the relay never sees neither.
        if (nDirection >= 0) NoteTransfer(pEndpoint->mFlagFn, kSlotRunning);
        PlatDeleteRetry(pEndpoint->mFlagFn, kFileAttempts);
      }
      pEndpoint->nCacheUse = nCacheUse;
      CopyText(pEndpoint->mCacheFn, sizeof pEndpoint->mCacheFn, szCacheFn);
    }
    PathText spool;
    spool.Format("%s%s/req-%d-%04d.dat", g_szDataDir.c_str(), "cache", g_nProxyMode, nSock);
    char *pBuf = new (std::nothrow) char[kRecvChunk + 1];
    int nSession = -1;
    if (pBuf != nullptr && nDirection == 1) {
      nSession = ClientToServerDataSession(spool.c_str(), nSv, nSock, pBuf, pData, nCacheUse, szCacheFn);
      nResult = 1;
    } else if (pBuf != nullptr && nDirection == 0) {
      nSession = ServerToClientDataSession(spool.c_str(), nSock, nSv, pBuf, pData, nCacheUse, szCacheFn);
      nResult = 1;
    }
    if (nDirection >= 0) NoteTransfer(pEndpoint->mFlagFn, nSession < 0 ? kSlotWithheld : kSlotDone);
    delete[] pBuf;
    PlatShutdownClose(nSv);
    DebugLogF("[FTPDataDispatch] [%04d] Close Server socket. [%04d]\n", nSock, nSv);
    PlatDeleteRetry(spool.c_str(), kFileAttempts);
  }
  if (bSocks) {
    PlatDeleteRetry(socksFlag.c_str(), kFileAttempts);
    DebugLogF("[FTPDataDispatch] [%04d] DeleteFile(%s)\n", nSock, socksFlag.c_str());
  }
  return nResult;
}

int ClientToServerDataSession(const char *szSpool, int nFrom, int nTo, char *pBuf, ConnectionRecord *pData,
                              int nCacheUse, const char *szCacheFn) {
  DebugLogF("[ClientToServerDataSession] sockSv=[%04d], sockCl=[%04d] start.\n", nTo, nFrom);
  // nFrom is the connected peer (whose timeout is the server one).
  return RunDataSession(kClientToServer, szSpool, nFrom, nTo, pBuf, pData, nCacheUse, szCacheFn, RecvWaitMs(g_nTmoServer));
}

int ServerToClientDataSession(const char *szSpool, int nFrom, int nTo, char *pBuf, ConnectionRecord *pData,
                              int nCacheUse, const char *szCacheFn) {
  DebugLogF("[ServerToClientDataSession] sockSv=[%04d], sockCl=[%04d] start.\n", nFrom, nTo);
  // nFrom is the accepted peer (whose timeout is the client one).
  return RunDataSession(kServerToClient, szSpool, nFrom, nTo, pBuf, pData, nCacheUse, szCacheFn,
                        RecvWaitMs(g_nTmoClient));
}

void FTPDataMain(void *pArg) {
  EndpointRecord ls;
  memcpy(&ls, pArg, sizeof ls);
  delete static_cast<EndpointRecord *>(pArg);
  ls.mIP[sizeof ls.mIP - 1] = '\0';
  ls.mSvIP[sizeof ls.mSvIP - 1] = '\0';
  DebugLogF("[FTPDataMain] [%04d] ls.mIP = %s / ls.mSvIP = %s\n", ls.nSock, ls.mIP, ls.mSvIP);

  ConnectionRecord *pData = new (std::nothrow) ConnectionRecord();
  if (pData == nullptr) {
    DebugLogF("[FTPDataMain] [%04d] memory alloc() failed\n", ls.nSock);
    FTPDataStartupFlag(&ls, -1);
    return;
  }
  DebugLogF("[FTPDataMain] [%04d] memory alloc()=%08x\n", ls.nSock,
            static_cast<unsigned>(reinterpret_cast<uintptr_t>(pData)));
  DebugLogF("[FTPDataMain] [%04d] IP=%s\n", ls.nSock, ls.mIP);

  // The address is the text before the first blank (at most 255 bytes).
  char szAddr[256];
  std::size_t nAddr = strcspn(ls.mIP, " ");
  if (nAddr >= sizeof szAddr) nAddr = sizeof szAddr - 1;
  memcpy(szAddr, ls.mIP, nAddr);
  szAddr[nAddr] = '\0';
  if (g_nProxyMode == kModeSocks) ForgetSocksDirection(ls.nPort);
  PlatSocket sListen = kPlatNoSocket;
  int r = PlatListenAt(szAddr, ls.nPort, 1, &sListen);
  if (r != kListenOk) {
    int nErr = PlatLastError();
    if (r == kListenNoAddress)
      DebugLogF("[FTPDataMain] [%04d] getaddrinfo failed with error\n", ls.nSock);
    else if (r == kListenNoSocket)
      DebugLogF("[FTPDataMain] [%04d] socket() failed. WSAGetLastError() = %d\n", ls.nSock, nErr);
    else if (r == kListenBindFailed)
      DebugLogF("[FTPDataMain] [%04d] bind() failed with error. WSAGetLastError() = %d\n", ls.nSock, nErr);
    else
      DebugLogF("[FTPDataMain] [%04d] listen() failed. WSAGetLastError() = %d\n", ls.nSock, nErr);
    FTPDataStartupFlag(&ls, r);
    delete pData;
    return;
  }

  DebugLogF("[FTPDataMain] [%04d] wait select()\n", ls.nSock);
  FTPDataStartupFlag(&ls, 0);
  // Only the expected peer's connection is taken (RFC 2577): anybody else
  // who reaches the port first is closed and the wait goes on, within the
  // one time limit.
  const int64_t nEnd = PlatSteadyMs() + RecvWaitMs(g_nTmoServer);
  PlatSocket s = kPlatNoSocket;
  PlatSockAddr peer;
  int bRefused = 1;
  int w = 1;
  while (s == kPlatNoSocket && bRefused && w == 1) {
    int64_t nLeft = nEnd - PlatSteadyMs();
    w = nLeft > 0 ? PlatWaitReadable(sListen, static_cast<int>(nLeft)) : 0;
    if (w < 0) DebugLogF("[FTPDataMain] [%04d] select() failed. WSAGetLastError() = %d\n", ls.nSock, PlatLastError());
    if (w != 1) break;
    DebugLogF("[FTPDataMain] [%04d] wait accept()\n", ls.nSock);
    // Through SOCKS the client reaches the port from this host.
    s = AcceptExpectedPeer(sListen, ls.mAcceptIP, g_nProxyMode == kModeSocks, &peer, &bRefused, "FTPDataMain",
                           ls.nSock);
    DebugLogF("[FTPDataMain] start accept(%04d)\n", sListen);
    if (s == kPlatNoSocket && !bRefused)
      DebugLogF("[FTPDataMain] accept(%04d) failed. WSAGetLastError() = %d\n", sListen, PlatLastError());
  }
  if (s != kPlatNoSocket) {
    DebugLogF("[FTPDataMain] Accept Client sokect.(%08x)(%08x)\n", static_cast<unsigned>(s),
              static_cast<unsigned>(sListen));
    if (g_nTmoClient != 0) {
      PlatSetSendTimeout(s, g_nTmoClient);
      PlatSetRecvTimeout(s, g_nTmoClient);
    }
    pData->nSock = s;
    pData->nFamily = PlatAddrFamily(&peer);
    pData->nRelayProto = -1;
    FTPDataDispatch(pData, &ls);
    PlatShutdownClose(s);
  }
  delete pData;
  PlatCloseSocket(sListen);
}
