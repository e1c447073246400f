#include "relay/ftp_control.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/log.h"
#include "core/settings.h"
#include "core/text_lines.h"
#include "net/outbound.h"
#include "net/data_port.h"
#include "ftp/ftp_client.h"
#include "ftp/ftp_data.h"
#include "http/cache.h"
#include "platform/plat_file.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "platform/plat_udp.h"
#include "relay/relay.h"
#include "relay/relay_io.h"

namespace {

constexpr unsigned kFileAttempts = 200;
constexpr const char k425[] = "425 Can't open data connection. \r\n";
// One command or reply line as the hooks handle it.
constexpr std::size_t kFtpLineMax = kRecvChunk + 1;

// The data thread's endpoint record prepared by a PORT/EPRT and started
// while that command is forwarded (the same command, on the same thread).
// Held by pointer: the record is large, and a thread-local of its own size
// would be set up in every thread the program starts.
struct PendingData {
  int bReady;
  EndpointRecord ep;
};
thread_local std::unique_ptr<PendingData> t_pPending;

PendingData &Pending() {
  if (!t_pPending) t_pPending = std::make_unique<PendingData>();
  return *t_pPending;
}

// True when the line's first word is szWord (any case).
bool IsCommand(const char *szLine, const char *szWord) {
  std::size_t n = strlen(szWord);
  if (strncasecmp(szLine, szWord, n) != 0) return false;
  char c = szLine[n];
  return c == '\0' || c == ' ' || c == '\r' || c == '\n';
}

// The argument of a command line: behind the first blank ("" when none).
const char *ArgumentOf(const char *szLine) {
  const char *p = strchr(szLine, ' ');
  return p ? p + 1 : szLine + strcspn(szLine, "\r\n");
}

// Reads the first line of a file (at most nSize-1 bytes).  1 when there
// was one.
int ReadFirstLine(const char *szPath, char *pLine, std::size_t nSize) {
  pLine[0] = '\0';
  FILE *fp = fopen(szPath, "rb");
  if (fp == nullptr) return 0;
  ReadFileLine(fp, pLine, nSize, LongLine::kSplit);
  fclose(fp);
  return pLine[0] != '\0';
}

// Replaces the first line of the spool file by szNew, keeping what follows
// it (a client may have sent more behind the command).
void RewriteFirstLine(const char *szSpool, const char *szNew) {
  FILE *fp = fopen(szSpool, "rb");
  if (fp == nullptr) return;
  char *pAll = new (std::nothrow) char[kFtpLineMax * 2];
  if (pAll == nullptr) {
    fclose(fp);
    return;
  }
  std::size_t n = fread(pAll, 1, kFtpLineMax * 2 - 1, fp);
  fclose(fp);
  pAll[n] = '\0';
  const char *pLf = static_cast<const char *>(memchr(pAll, '\n', n));
  std::size_t nRest = pLf ? n - static_cast<std::size_t>(pLf + 1 - pAll) : 0;
  std::size_t nNew = strlen(szNew);
  char *pOut = new (std::nothrow) char[nNew + nRest + 1];
  if (pOut != nullptr) {
    memcpy(pOut, szNew, nNew);
    if (nRest) memcpy(pOut + nNew, pLf + 1, nRest);
    PlatWriteWholeFile(szSpool, pOut, nNew + nRest);
  }
  delete[] pOut;
  delete[] pAll;
}

// Deletes the request flag and status files of the connection.
void DeleteHandOffFiles(int nSvSock) {
  PathText name;
  if (FtpHandOffName(&name, "flg", nSvSock)) PlatDeleteRetry(name.c_str(), kFileAttempts);
  if (FtpHandOffName(&name, "lck", nSvSock)) PlatDeleteRetry(name.c_str(), kFileAttempts);
}

// The proxy's address on the server side: the connect table's MyAddr, or
// the local address of the server connection when the table names none.
void ServerSideAddress(const ConnectionRecord *pRec, int nSvSock, char *pOut, std::size_t nOut) {
  if (!pRec->mMyAddr.Empty()) {
    CopyText(pOut, nOut, pRec->mMyAddr.c_str());
    return;
  }
  PlatSockAddr local;
  if (PlatLocalAddress(nSvSock, &local) != 1 || PlatAddrText(&local, pOut, nOut) != 1) pOut[0] = '\0';
}

// The address of the server of the control connection ("" when unknown).
void ControlServerAddress(int nSvSock, char *pOut, std::size_t nOut) {
  PlatSockAddr peer;
  if (PlatPeerAddress(nSvSock, &peer) != 1 || PlatAddrText(&peer, pOut, nOut) != 1) pOut[0] = '\0';
}

// Fills the endpoint record of a data thread.  The data listener takes a
// connection only from the other end of the transfer: the server in active
// mode, the client in passive mode.
void PrepareEndpoint(EndpointRecord *pEp, const ConnectionRecord *pRec, int nMode, int nSvSock,
                     const char *szListen, int nPort, const char *szPeer, int nPeerPort) {
  memset(pEp, 0, sizeof *pEp);
  pEp->nListenOnce = nMode;
  pEp->nSock = pRec->nSock;
  PathText name;
  FtpHandOffName(&name, "flg", nSvSock);
  CopyText(pEp->mFlagFn, sizeof pEp->mFlagFn, name.c_str());
  FtpHandOffName(&name, "lck", nSvSock);
  CopyText(pEp->mLockFn, sizeof pEp->mLockFn, name.c_str());
  snprintf(pEp->mIP, sizeof pEp->mIP, "%s %d", szListen, nPort);
  pEp->nPort = nPort;
  CopyText(pEp->mSvIP, sizeof pEp->mSvIP - 1, szPeer);
  pEp->nSvPort = nPeerPort;
  if (nMode == kFtpDataActive)
    ControlServerAddress(nSvSock, pEp->mAcceptIP, sizeof pEp->mAcceptIP);
  else
    CopyText(pEp->mAcceptIP, sizeof pEp->mAcceptIP, pRec->mClientIP.c_str());
}

// Starts a data thread and waits for its status.  szTag names the caller
// in the log lines.  Returns 1 when the thread listens, 0 otherwise.
int StartDataThread(const EndpointRecord *pEp, const char *szTag) {
  DebugLogF("[%s] [%04d] _beginthread(FTPDataMain) start.\n", szTag, pEp->nSock);
  int nErr = FtpStartDataThread(pEp);
  if (nErr != 0) {
    DebugLogF("[%s] [%04d] FTPDataMain() beginthread failed.(%d)\n", szTag, pEp->nSock, nErr);
    return 0;
  }
  int nStatus = -1;
  // A data thread that never reports counts as a failed data connection.
  if (FtpWaitStatus(pEp->mLockFn, kFtpHandOffWaitMs, &nStatus) != 1) return 0;
  return nStatus == 0;
}

// Logs a file time as "YYYY/MM/DD hh:mm:ss" with a line's prefix.
void LogCacheTime(int nSock, const char *szWhat, uint64_t nFileTime) {
  FileTimeParts t;
  SplitFileTime(nFileTime, &t);
  DebugLogF("[ClientToServerSession] [%04d] [Cache] %s = %04d/%02d/%02d %02d:%02d:%02d\n", nSock, szWhat, t.nYear,
            t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond);
}

// RETR with the cache: decides whether the download is served from a valid
// cached copy (the command then becomes "LIST arg" so the server sends only
// a small listing).  Fills *pnUse and the cache file name (empty: caching
// off or the key is on the no-cache list).
void RetrCache(ConnectionRecord *pRec, const char *szSpool, const char *szLine, int *pnUse, PathText *pCacheFn) {
  *pnUse = 0;
  pCacheFn->Clear();
  if (g_nCacheMin == 0) return;
  const char *szArg = ArgumentOf(szLine);
  char szKey[kCacheKeySize];
  if (!BuildFtpCacheKey(pRec->ftpUser.c_str(), pRec->mLocalIP.c_str(), static_cast<int>(pRec->nLocalPort),
                        pRec->ftpDir.c_str(), szArg, szKey, sizeof szKey))
    return;
  char szDigest[33];
  if (CacheDigest(szKey, szDigest) != 1) return;
  // The no-cache list sees the key without its line end.
  char szBare[kCacheKeySize];
  CopyText(szBare, sizeof szBare, szKey);
  szBare[strcspn(szBare, "\r\n")] = '\0';
  if (Query_NoCache(pRec->nSock, szBare)) return;
  if (!pCacheFn->Format("%sftpcache/%s.dat", g_szDataDir.c_str(), szDigest)) {
    pCacheFn->Clear();
    return;
  }
  uint64_t nSize = 0;
  int64_t nMTime = 0;
  if (PlatFileInfo(pCacheFn->c_str(), &nSize, &nMTime) != 1) return;
  const int nSock = pRec->nSock;
  uint64_t nNow = PlatLocalFileTime();
  uint64_t nStored = PlatToLocalFileTime(nMTime);
  uint64_t nExpire = nStored + static_cast<uint64_t>(g_nCacheMin) * 600000000ULL;
  LogCacheTime(nSock, "current time", nNow);
  LogCacheTime(nSock, "Last write time", nStored);
  LogCacheTime(nSock, "expire time", nExpire);
  // An empty copy is never valid: nothing whole is cached empty.
  bool bUse = nNow <= nExpire && nSize > 0;
  DebugLogF("[ClientToServerSession] [%04d] [Cache] FTP = %s. (%" PRIu64 " <= %" PRIu64 ")\n", nSock,
            bUse ? "using" : "expired", nNow, nExpire);
  if (bUse) {
    *pnUse = 1;
    FixedText<kFtpLineMax> list;
    list.Format("LIST %s", szArg);
    RewriteFirstLine(szSpool, list.c_str());
  } else {
    DebugLogF("[ClientToServerSession] [%04d] [Cache] Delete = %s.\n", nSock, pCacheFn->c_str());
    PlatDeleteRetry(pCacheFn->c_str(), kFileAttempts);
  }
}

// A transfer command while a data connection is pending writes the
// request flag file for the data thread.
void WriteRequestFlag(ConnectionRecord *pRec, const char *szSpool, const char *szLine, int nKind) {
  const char *szFlag = pRec->ftpFlagFile.c_str();
  // The data thread removes the previous file once it has read it; one that
  // is never read must not stop this transfer for ever.
  int64_t nEnd = PlatSteadyMs() + kFtpHandOffWaitMs;
  while (PlatFileExists(szFlag) && PlatSteadyMs() < nEnd) PlatSleepMs(kFilePollMs);
  // Passive: data flow from the server (connected) to the client (accepted)
  // for a download; active: the accepted peer is the server.
  int bPassive = pRec->ftpPasvPending && !pRec->ftpPortPending;
  int nDirection = (nKind == kFtpDownload) == (bPassive != 0) ? 1 : 0;
  if (g_nProxyMode == kModeSocks) {
    PathText socks;
    if (FtpSocksFlagName(&socks, pRec->ftpDataPort)) {
      DebugLogF("[ClientToServerSession] [%04d] %.*s _fsopen(%s)\n", pRec->nSock,
                static_cast<int>(strcspn(szLine, "\r\n")), szLine, socks.c_str());
      const char *szDir = nKind == kFtpUpload ? "1\n" : "0\n";
      PlatWriteWholeFile(socks.c_str(), szDir, 2);
    }
  }
  FixedText<1100> text;
  if (IsCommand(szLine, "RETR")) {
    int nUse = 0;
    PathText cacheFn;
    RetrCache(pRec, szSpool, szLine, &nUse, &cacheFn);
    text.Format("%d\n%d\n%s\n%d\n", nDirection, nUse, cacheFn.c_str(), pRec->ftpDataPort);
  } else {
    text.Format("%d\n\n\n%d\n", nDirection, pRec->ftpDataPort);
  }
  PlatWriteWholeFile(szFlag, text.c_str(), text.Length());
  pRec->ftpPortPending = 0;
}

// PORT and EPRT.  The client's data address goes to the data
// thread; the server is told the proxy's address and a port of its own.
// Returns 1 when the command goes on to the server, 0 when it is refused
// (malformed, or naming another host than the client: RFC 2577 bounce).
int RewriteActive(ConnectionRecord *pRec, const char *szSpool, const char *szLine, int nSvSock, bool bEprt) {
  const int nSock = pRec->nSock;
  const char *szArg = ArgumentOf(szLine);
  std::size_t nArgLen = strcspn(szArg, "\r\n");
  char szClientAddr[kAddrTextSize];
  int nClientPort = 0;
  int nProto = 1;
  if (bEprt) {
    DebugLogF("[ClientToServerSession] [%04d] from Client[%04d]=%.*s\n", nSock, nSvSock, static_cast<int>(nArgLen),
              szArg);
    if (!ParseEprtArgument(szArg, &nProto, szClientAddr, sizeof szClientAddr, &nClientPort)) return 0;
  } else {
    DebugLogF("[ClientToServerSession] [%04d] from Client=%.*s\n", nSock, static_cast<int>(nArgLen), szArg);
    if (!ParsePortArgument(szArg, szClientAddr, sizeof szClientAddr, &nClientPort)) return 0;
  }
  // The proxy would connect wherever the command says: only the client's
  // own address is served.
  if (!PlatSameAddress(szClientAddr, pRec->mClientIP.c_str())) {
    DebugLogF("[ClientToServerSession] [%04d] data address %s is not the client's (%s): refused.\n", nSock,
              szClientAddr, pRec->mClientIP.c_str());
    return 0;
  }
  char szServerSide[kAddrTextSize];
  ServerSideAddress(pRec, nSvSock, szServerSide, sizeof szServerSide);
  const int bRaw = g_bFtpRaw;
  // The data thread listens where the server is told to connect.
  bool bSameFamily = (pRec->bClientIPv4 != 0) == (pRec->bMyAddrIPv4 != 0);
  const char *szListen = bSameFamily || bRaw || szServerSide[0] == '\0' ? pRec->mLocalIP.c_str() : szServerSide;
  // The port is probed in the family the data thread will listen in.
  int nHigh = 0, nLow = 0;
  int bIPv4Port = strchr(szListen, '.') != nullptr;
  char szPortText[16];
  if (bEprt) {
    snprintf(szPortText, sizeof szPortText, "%d", nClientPort);
  } else {
    snprintf(szPortText, sizeof szPortText, ",%d,%d", nClientPort / 256, nClientPort % 256);
  }
  int nPort = ParseDataPort(bEprt ? 1 : 0, bIPv4Port, &nHigh, &nLow, szPortText);

  FixedText<512> out;
  char szComma[96];
  int nAnnouncedPort = nPort > 0 ? nPort : 0;
  if (!bEprt) {
    if (!pRec->bMyAddrIPv4 && !bRaw) {
      out.Format("EPRT |%d|%s|%lu|\r\n", 2, szServerSide, static_cast<unsigned long>(nAnnouncedPort));
    } else {
      FtpCommaAddress(pRec->mLocalIP.c_str(), nAnnouncedPort, szComma, sizeof szComma);
      out.Format("PORT %s\r\n", szComma);
    }
  } else {
    if (pRec->bMyAddrIPv4 && !bRaw) {
      FtpCommaAddress(szServerSide, nAnnouncedPort, szComma, sizeof szComma);
      out.Format("PORT %s\r\n", szComma);
    } else {
      out.Format("EPRT |%d|%s|%lu|\r\n", nProto == 1 ? 1 : 2, pRec->mLocalIP.c_str(),
                 static_cast<unsigned long>(nAnnouncedPort));
    }
  }
  DebugLogF("[ClientToServerSession] [%04d] to Server[%04d]=%.*s\n", nSock, nSvSock,
            static_cast<int>(strcspn(out.c_str() + 5, "\r\n")), out.c_str() + 5);
  RewriteFirstLine(szSpool, out.c_str());

  pRec->ftpPortPending = 1;
  pRec->ftpPasvPending = 0;
  pRec->ftpDataPort = nAnnouncedPort;
  PrepareEndpoint(&Pending().ep, pRec, kFtpDataActive, nSvSock, szListen, nAnnouncedPort, szClientAddr, nClientPort);
  Pending().bReady = 1;
  // The transfer command must find the flag file name in active mode too.
  pRec->ftpFlagFile.Assign(Pending().ep.mFlagFn);
  return 1;
}

// Sends the proxy's own reply to a client command that is not forwarded.
void AnswerClient(ConnectionRecord *pRec, const char *szReply) {
  int nSent = RelaySendClient(pRec, pRec->nSock, szReply, strlen(szReply));
  DebugLogF("[ClientToServerSession] [%04d] C:send:%d bytes.\n", pRec->nSock, nSent);
}

}  // namespace

void FtpTrackCwd(FtpDirText *pDir, const char *szArg) {
  std::size_t nArg = strcspn(szArg, "\r\n");
  FixedText<kFtpLineMax> arg;
  arg.Assign(std::string_view(szArg, nArg));
  char szDir[512];
  CopyText(szDir, sizeof szDir, pDir->c_str());
  if (arg.c_str()[0] == '/') {
    CopyText(szDir, sizeof szDir, arg.c_str());
  } else if (strcmp(arg.c_str(), "..") == 0) {
    char *pSlash = strrchr(szDir, '/');
    if (pSlash != nullptr) *pSlash = '\0';
  } else if (strlen(szDir) < 254) {
    std::size_t nLen = strlen(szDir);
    if (nLen > 0 && szDir[nLen - 1] != '/') CopyText(szDir + nLen, sizeof szDir - nLen, "/");
    nLen = strlen(szDir);
    CopyText(szDir + nLen, sizeof szDir - nLen, arg.c_str());
  }
  szDir[255] = '\0';
  std::size_t nLen = strlen(szDir);
  if (nLen > 1 && szDir[nLen - 1] == '/') szDir[nLen - 1] = '\0';
  pDir->Assign(szDir);
}

void FtpTrackCdup(FtpDirText *pDir) {
  char *pSlash = strrchr(pDir->data(), '/');
  if (pSlash != nullptr) *pSlash = '\0';
}

int BuildFtpCacheKey(const char *szUser, const char *szLocalIP, int nLocalPort, const char *szDir,
                     const char *szRetrArg, char *pOut, std::size_t nOutSize) {
  int n = snprintf(pOut, nOutSize, "ftp,%s,%s,%d,%s", szUser, szLocalIP, nLocalPort, szDir);
  if (n < 0 || static_cast<std::size_t>(n) >= nOutSize) return 0;
  // Without its file name the key would be the same for every file of the
  // directory: such a key is no key.
  int m = snprintf(pOut + n, nOutSize - static_cast<std::size_t>(n), "/%s", szRetrArg);
  if (m < 0 || static_cast<std::size_t>(n + m) >= nOutSize) return 0;
  return 1;
}

int FtpTransferKindOf(const char *szLine) {
  static const char *const kDown[] = {"RETR", "LIST", "NLST", "MLSD"};
  static const char *const kUp[] = {"STOR", "STOU", "APPE"};
  for (const char *w : kDown)
    if (IsCommand(szLine, w)) return kFtpDownload;
  for (const char *w : kUp)
    if (IsCommand(szLine, w)) return kFtpUpload;
  return kFtpNoTransfer;
}

int ParsePortArgument(const char *szArg, char *pAddr, std::size_t nAddrSize, int *pnPort) {
  int v[6];
  const char *p = szArg;
  while (*p == ' ') ++p;
  for (int i = 0; i < 6; ++i) {
    if (!isdigit(static_cast<unsigned char>(*p))) return 0;
    char *pEnd = nullptr;
    long n = strtol(p, &pEnd, 10);
    if (n > 255 || pEnd - p > 3) return 0;
    v[i] = static_cast<int>(n);
    p = pEnd;
    if (i < 5 && *p++ != ',') return 0;
  }
  if (*p != '\0' && *p != '\r' && *p != '\n' && *p != ' ') return 0;
  snprintf(pAddr, nAddrSize, "%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
  *pnPort = v[4] * 256 + v[5];
  return 1;
}

int ParseEprtArgument(const char *szArg, int *pnProto, char *pAddr, std::size_t nAddrSize, int *pnPort) {
  char d = szArg[0];
  if (d == '\0' || d == '\r' || d == '\n' || isalnum(static_cast<unsigned char>(d))) return 0;
  const char *pProto = szArg + 1;
  if (SplitExtendedAddress(pProto, d, pAddr, nAddrSize, pnPort) != 1 || pAddr[0] == '\0') return 0;
  *pnProto = atoi(pProto);
  return 1;
}

void FtpCommaAddress(const char *szAddr, int nPort, char *pOut, std::size_t nOutSize) {
  snprintf(pOut, nOutSize, "%s,%d,%d", szAddr, nPort / 256, nPort % 256);
  for (char *p = pOut; *p; ++p)
    if (*p == '.') *p = ',';
}

int ParsePassiveReply(const char *szLine, int *pbExtended, char *pAddr, std::size_t nAddrSize, int *pnPort) {
  const char *pOpen = strchr(szLine, '(');
  const char *pClose = pOpen ? strchr(pOpen, ')') : nullptr;
  if (pClose == nullptr) return 0;
  std::size_t nInner = static_cast<std::size_t>(pClose - pOpen - 1);
  if (memchr(pOpen + 1, '|', nInner) != nullptr) {
    // Extended: "|proto|addr|port|"; the port is behind the third "|".
    *pbExtended = 1;
    if (nAddrSize) pAddr[0] = '\0';
    const char *p = pOpen + 1;
    for (int i = 0; i < 3; ++i) {
      p = static_cast<const char *>(memchr(p, '|', static_cast<std::size_t>(pClose - p)));
      if (p == nullptr) return 0;
      ++p;
    }
    if (!isdigit(static_cast<unsigned char>(*p))) return 0;
    char *pEnd = nullptr;
    long nPort = strtol(p, &pEnd, 10);
    if (nPort < 1 || nPort > 65535 || *pEnd != '|') return 0;
    *pnPort = static_cast<int>(nPort);
    return 1;
  }
  *pbExtended = 0;
  FixedText<64> inner;
  if (nInner >= 64) return 0;
  inner.Assign(std::string_view(pOpen + 1, nInner));
  return ParsePortArgument(inner.c_str(), pAddr, nAddrSize, pnPort);
}

int RewritePassiveReply(const char *szLine, int bExtended, const char *szAnnounce, const char *szLocalIP, int nPort,
                        int bClientIPv4, int bServerIPv4, int bRaw, char *pOut, std::size_t nOutSize) {
  const char *pOpen = strchr(szLine, '(');
  if (pOpen == nullptr || nOutSize < 8) return 0;
  char szCode[4];
  memcpy(szCode, szLine, 3);
  szCode[3] = '\0';
  FixedText<160> tail;
  char szComma[96];
  if (bExtended) {
    if (bClientIPv4 && !bRaw) {
      memcpy(szCode, "227", 4);
      FtpCommaAddress(szLocalIP, nPort, szComma, sizeof szComma);
      tail.Format("(%s)\r\n", szComma);
    } else {
      tail.Format("(|||%lu|)\r\n", static_cast<unsigned long>(nPort));
    }
  } else {
    if (bServerIPv4 && !bClientIPv4 && !bRaw) {
      memcpy(szCode, "229", 4);
      tail.Format("(|||%lu|)\r\n", static_cast<unsigned long>(nPort));
    } else {
      FtpCommaAddress(szAnnounce, nPort, szComma, sizeof szComma);
      tail.Format("(%s)\r\n", szComma);
    }
  }
  std::size_t nHead = static_cast<std::size_t>(pOpen - szLine);
  if (nHead + tail.Length() + 1 > nOutSize) return 0;
  memcpy(pOut, szLine, nHead);
  memcpy(pOut, szCode, 3);
  memcpy(pOut + nHead, tail.c_str(), tail.Length() + 1);
  return 1;
}

int FtpCommandLineSafe(const char *pLine, std::size_t nLen) {
  for (std::size_t i = 0; i < nLen; ++i) {
    char c = pLine[i];
    if (c == '\0') return 0;
    if (c == '\n' && i + 1 < nLen) return 0;
    if (c == '\r' && !(i + 2 == nLen && pLine[i + 1] == '\n')) return 0;
  }
  return 1;
}

int FtpClientCommand(ConnectionRecord *pRec, const char *szSpool, int nSvSock) {
  char *pLine = new (std::nothrow) char[kFtpLineMax];
  if (pLine == nullptr) return -1;
  if (t_pPending) t_pPending->bReady = 0;
  const int nSock = pRec->nSock;
  // The command as received, NULs included: a CR or NUL inside it (or a
  // second line) would reach the server as part of another command.
  std::size_t nRaw = 0;
  FILE *fp = fopen(szSpool, "rb");
  if (fp != nullptr) {
    nRaw = fread(pLine, 1, kFtpLineMax - 1, fp);
    fclose(fp);
  }
  if (!FtpCommandLineSafe(pLine, nRaw)) {
    DebugLogF("[ClientToServerSession] [%04d] command with CR, LF or NUL inside: refused.\n", nSock);
    AnswerClient(pRec, "500 Syntax error, command unrecognized.\r\n");
    delete[] pLine;
    return 1;
  }
  ReadFirstLine(szSpool, pLine, kFtpLineMax);

  // The transfer command of a pending data connection.
  int nKind = FtpTransferKindOf(pLine);
  if (nKind != kFtpNoTransfer && !pRec->ftpFlagFile.Empty() && (pRec->ftpPortPending || pRec->ftpPasvPending))
    WriteRequestFlag(pRec, szSpool, pLine, nKind);

  if (IsCommand(pLine, "CDUP")) {
    FtpTrackCdup(&pRec->ftpDir);
  } else if (IsCommand(pLine, "PASV") && pRec->bClientIPv4 && !pRec->bMyAddrIPv4) {
    // The server side speaks the other family.
    DebugLogF("[ClientToServerSession] [%04d] from Client=%s convert=EPSV\n", nSock, "PASV");
    memcpy(pLine, "EPSV", 4);
    RewriteFirstLine(szSpool, pLine);
  } else if (IsCommand(pLine, "EPSV") && pRec->bMyAddrIPv4 && !pRec->bClientIPv4) {
    DebugLogF("[ClientToServerSession] [%04d] from Client=%s convert=PASV\n", nSock, "EPSV");
    memcpy(pLine, "PASV", 4);
    RewriteFirstLine(szSpool, pLine);
  } else if (IsCommand(pLine, "PORT") || IsCommand(pLine, "EPRT")) {
    if (!RewriteActive(pRec, szSpool, pLine, nSvSock, IsCommand(pLine, "EPRT"))) {
      AnswerClient(pRec, "501 Data address must be the client's own.\r\n");
      delete[] pLine;
      return 1;
    }
  } else if (IsCommand(pLine, "USER")) {
    const char *szArg = ArgumentOf(pLine);
    pRec->ftpUser.Assign(std::string_view(szArg, strcspn(szArg, "\r\n")));
  } else if (IsCommand(pLine, "CWD")) {
    FtpTrackCwd(&pRec->ftpDir, ArgumentOf(pLine));
  }
  delete[] pLine;
  return 0;
}

int FtpBeforeForward(ConnectionRecord *pRec, const char *szLine, int nSvSock) {
  // Only the PORT/EPRT line that prepared a data thread starts it: any
  // other command forwarded while a transfer is pending must not start a
  // second listener on the same port.
  if (!t_pPending || !t_pPending->bReady || !(IsCommand(szLine, "PORT") || IsCommand(szLine, "EPRT"))) return 0;
  t_pPending->bReady = 0;
  DeleteHandOffFiles(nSvSock);
  if (pRec->ftpDataPort <= 0 || !StartDataThread(&t_pPending->ep, "ClientToServerSession")) pRec->ftpDataOk = 0;
  return kRelayFtpData;
}

int FtpServerReply(ConnectionRecord *pRec, const char *szSpool, int nSvSock, int nClSock) {
  char *pLine = new (std::nothrow) char[kFtpLineMax];
  if (pLine == nullptr) return 0;
  ReadFirstLine(szSpool, pLine, kFtpLineMax);
  if (strncmp(pLine, "227 ", 4) != 0 && strncmp(pLine, "229 ", 4) != 0) {
    delete[] pLine;
    return 0;
  }
  const char *pOpen = strchr(pLine, '(');
  const char *pClose = pOpen ? strchr(pOpen, ')') : nullptr;
  int nInner = pClose ? static_cast<int>(pClose - pOpen - 1) : 0;
  DebugLogF("[ServerToClientSession] [%04d] [%04d] from Server[%04d]=%.*s\n", nClSock, nSvSock, nSvSock, nInner,
            pOpen ? pOpen + 1 : "");
  // The data connection goes to the server of this control connection,
  // whatever address a classic reply names: a reply naming another host
  // would make the proxy connect there.
  int bExtended = 0;
  int nServerPort = 0;
  char szPeer[kAddrTextSize] = "";
  char szNamed[kAddrTextSize] = "";
  int bOk = ParsePassiveReply(pLine, &bExtended, szNamed, sizeof szNamed, &nServerPort);
  if (bOk) {
    ControlServerAddress(nSvSock, szPeer, sizeof szPeer);
    bOk = szPeer[0] != '\0';
  }
  if (bOk && !bExtended && !PlatSameAddress(szNamed, szPeer))
    DebugLogF("[ServerToClientSession] [%04d] [%04d] reply names %s; connecting %s.\n", nClSock, nSvSock, szNamed,
              szPeer);
  // The proxy listens where the client reached it.
  const int bLocalIPv4 = strchr(pRec->mLocalIP.c_str(), '.') != nullptr;
  int nPort = bOk ? GetDataPort(bLocalIPv4) : -1;

  // The connect table's global address is announced instead of ours.
  ConnectEntry entry;
  GetConnectTable(pRec->mLocalIP.c_str(), static_cast<int>(pRec->nLocalPort), &entry);
  DebugLogF("[ServerToClientSession] [%04d] [%04d] %s = Global:[%s]\n", nClSock, nSvSock, pRec->mLocalIP.c_str(),
            entry.mMyAddr.c_str());
  const char *szAnnounce = entry.mMyAddr.Empty() ? pRec->mLocalIP.c_str() : entry.mMyAddr.c_str();

  // The data thread first: a reply without one behind it becomes a 425.
  pRec->ftpPortPending = 0;
  pRec->ftpPasvPending = 1;
  PathText flag;
  FtpHandOffName(&flag, "flg", nSvSock);
  pRec->ftpFlagFile.Assign(flag.c_str());
  DeleteHandOffFiles(nSvSock);
  int bListening = 0;
  if (nPort > 0) {
    EndpointRecord *pEp = new (std::nothrow) EndpointRecord;
    if (pEp != nullptr) {
      PrepareEndpoint(pEp, pRec, kFtpDataPassive, nSvSock, pRec->mLocalIP.c_str(), nPort, szPeer, nServerPort);
      bListening = StartDataThread(pEp, "ServerToClientSession");
      delete pEp;
    }
  }

  // The reply names the proxy.
  char *pOut = new (std::nothrow) char[kFtpLineMax];
  if (bListening && pOut != nullptr &&
      RewritePassiveReply(pLine, bExtended, szAnnounce, pRec->mLocalIP.c_str(), nPort, pRec->bClientIPv4 != 0,
                          pRec->bMyAddrIPv4 != 0, g_bFtpRaw, pOut, kFtpLineMax)) {
    pRec->ftpDataPort = nPort;
    const char *pNewOpen = strchr(pOut, '(');
    DebugLogF("[ServerToClientSession] [%04d] [%04d] to Client=%s", nClSock, nSvSock, pNewOpen ? pNewOpen : "");
    RewriteFirstLine(szSpool, pOut);
  } else {
    RewriteFirstLine(szSpool, k425);
  }
  delete[] pOut;
  delete[] pLine;
  return 0;
}
