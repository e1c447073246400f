#include "ftp/ftp_client.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/fixed_text.h"
#include "core/log.h"
#include "core/retry.h"
#include "core/number_text.h"
#include "core/settings.h"
#include "net/data_port.h"
#include "platform/plat_codepage.h"
#include "platform/plat_time.h"

namespace {

using FtpText = FixedText<kFtpPartSize>;
using FtpPath = FixedText<kFtpPathSize>;
using ReplyLine = FixedText<kFtpReplyLine>;

constexpr int kStepMs = 100;

// True when the line begins with three digits.
bool HasCode(const char *szLine) {
  return isdigit(static_cast<unsigned char>(szLine[0])) && isdigit(static_cast<unsigned char>(szLine[1])) &&
         isdigit(static_cast<unsigned char>(szLine[2]));
}

// Sends one command line and logs it.  1 sent, -1 failure.
int SendCommand(FtpControl *pCtl, const char *szLine) {
  DebugLogF("[FtpClient] [%04d] %s", pCtl->s, szLine);
  return PlatSend(pCtl->s, szLine, static_cast<int>(strlen(szLine))) < 0 ? -1 : 1;
}

// Sends a command and reads its reply into *pReply (empty when none came).
int Exchange(FtpControl *pCtl, const char *szLine, ReplyLine *pReply) {
  pReply->Clear();
  if (SendCommand(pCtl, szLine) != 1) return -1;
  return FtpReadReply(pCtl, pReply->data(), kFtpReplyLine, 0);
}

// Writes a reply line into the answer file: the client then sees why the
// server refused instead of an empty answer.
void AnswerWithReply(FILE *pAnswer, const ReplyLine &reply) {
  if (reply.Empty()) return;
  fwrite(reply.c_str(), 1, reply.Length(), pAnswer);
  fflush(pAnswer);
}

void PasvThread(void *pArg) { FtpDataByPASV(static_cast<FtpDataBlock *>(pArg)); }
void PortThread(void *pArg) { FtpDataByPORT(static_cast<FtpDataBlock *>(pArg)); }

// Hands a socket to the block (or closes it at once when the control side
// already gave up).  Returns 1 when stored.
int StoreSocket(FtpDataBlock *pBlock, PlatSocket *pSlot, PlatSocket s) {
  std::lock_guard<std::mutex> guard(pBlock->lock);
  if (pBlock->bCancel.load()) {
    PlatCloseSocket(s);
    return 0;
  }
  *pSlot = s;
  return 1;
}

void CloseSlot(FtpDataBlock *pBlock, PlatSocket *pSlot) {
  std::lock_guard<std::mutex> guard(pBlock->lock);
  if (*pSlot != kPlatNoSocket) PlatCloseSocket(*pSlot);
  *pSlot = kPlatNoSocket;
}

// Cuts the data thread's waits short: its sockets are shut down (not
// closed, so a socket number cannot be reused under it).
void CancelData(FtpDataBlock *pBlock) {
  std::lock_guard<std::mutex> guard(pBlock->lock);
  pBlock->bCancel.store(1);
  if (pBlock->sListen != kPlatNoSocket) PlatShutdown(pBlock->sListen);
  if (pBlock->sData != kPlatNoSocket) PlatShutdown(pBlock->sData);
}

// Receives the data connection into the answer file until the server
// closes it.  szName tags the log lines.
void ReceiveData(FtpDataBlock *pBlock, PlatSocket s, const char *szName) {
  char *buf = new (std::nothrow) char[kRecvChunk];
  if (buf == nullptr) {
    pBlock->bWriteFailed = 1;
    return;
  }
  int nRecvTmo = pBlock->nRecvTmoMs;
  int n;
  for (;;) {
    n = PlatRecv(s, buf, static_cast<int>(kRecvChunk), nRecvTmo);
    if (n <= 0) break;
    if (fwrite(buf, 1, static_cast<std::size_t>(n), pBlock->pOut) != static_cast<std::size_t>(n) ||
        fflush(pBlock->pOut) != 0) {
      pBlock->bWriteFailed = 1;
      break;
    }
    pBlock->nBytes += static_cast<uint64_t>(n);
    DebugLogF("[%s] S:recv(%04d):%d bytes. \n", szName, s, n);
  }
  DebugLogF("[%s] S:recv(%04d):%d bytes. / error = %d\n", szName, s, n, n < 0 ? PlatLastError() : 0);
  delete[] buf;
}

// The two timeouts of the data sockets.
void ApplyDataTimeouts(const FtpDataBlock *pBlock, PlatSocket s) {
  if (pBlock->nSendTmoMs != 0) PlatSetSendTimeout(s, pBlock->nSendTmoMs);
  if (pBlock->nRecvTmoMs != 0) PlatSetRecvTimeout(s, pBlock->nRecvTmoMs);
}

// Resolves the server: any family, IPv4, IPv6, each with the canonical name
// first and then as a numeric host.
int ResolveServer(const char *szHost, int nPort, PlatSockAddr *pAddr) {
  static const struct {
    uint32_t nFamily;
    int nFlags;
  } kTries[] = {
      {0, kPlatResolveCanonName},           {0, kPlatResolveNumeric},
      {kFamilyIPv4, kPlatResolveCanonName}, {kFamilyIPv4, kPlatResolveNumeric},
      {kFamilyIPv6, kPlatResolveCanonName}, {kFamilyIPv6, kPlatResolveNumeric},
  };
  char szPort[16];
  snprintf(szPort, sizeof szPort, "%d", nPort);
  for (const auto &t : kTries) {
    int nErr = 0;
    if (PlatResolveAddr(szHost, szPort, t.nFamily, t.nFlags, pAddr, &nErr) == 1) return 1;
  }
  return -1;
}

// Connects the control socket, pausing 100, 200, 300 ms ... between
// attempts, up to the connect attempt limit; a fresh socket each time (a
// socket whose connect failed cannot be connected again everywhere).
// Returns the socket, kFtpNotConnected (logged) or kFtpNoSocket.
int ConnectControl(const PlatSockAddr *pAddr, uint32_t nFamily) {
  int nErr = 0;
  PlatSocket sConnected = kPlatNoSocket;
  int r = RetryWithGrowingPause(RetryAttempts(), [&] {
    PlatSocket s = PlatStreamSocket(nFamily);
    if (s == kPlatNoSocket) return -1;  // no socket: give up at once
    if (PlatConnectAddr(s, pAddr, g_nTmoServer) == 1) {
      sConnected = s;
      return 1;
    }
    nErr = PlatLastError();
    PlatCloseSocket(s);
    return 0;
  });
  if (r == 1) return sConnected;
  if (r < 0) return kFtpNoSocket;
  DebugLogF("[FtpClient] connect failed. WSAGetLastError() = %d\n", nErr);
  return kFtpNotConnected;
}

// The transfer command: "RETR name" or "LIST".
void TransferCommand(const char *szCommand, const char *szFile, FixedText<kFtpPartSize * 2 + 8> *pOut) {
  if (szFile[0] != '\0')
    pOut->Format("%s %s\r\n", szCommand, szFile);
  else
    pOut->Format("%s\r\n", szCommand);
}

// Opens the active-mode data socket and announces it with PORT/EPRT.
// Returns 1 with the listening socket and the reply in *pReply; a negative
// FtpClient code on a local failure.
int OpenActive(FtpControl *pCtl, int bIPv4, PlatSocket *pListen, ReplyLine *pReply) {
  *pListen = kPlatNoSocket;
  int nPort = 0;
  if (g_nPortLow != 0 && g_nPortHigh != 0) {
    nPort = GetDataPort(bIPv4);
    if (nPort < 0) {
      DebugLog(bIPv4 ? "[FtpClient] v4 bind failed.\n" : "[FtpClient] v6 bind failed.\n");
      return kFtpNoSocket;
    }
  }
  PlatSocket sListen = kPlatNoSocket;
  int r = PlatListenAny(bIPv4 ? kFamilyIPv4 : kFamilyIPv6, nPort, 0, &sListen);
  if (r == kListenNoSocket || r == kListenBindFailed) {
    DebugLog(bIPv4 ? "[FtpClient] v4 bind failed.\n" : "[FtpClient] v6 bind failed.\n");
    return kFtpNoSocket;
  }
  if (r != kListenOk) {
    DebugLog("[FtpClient] listen failed.\n");
    return kFtpNoListen;
  }
  PlatSockAddr local;
  char szLocal[kAddrTextSize];
  if (PlatLocalAddress(pCtl->s, &local) != 1 || PlatAddrText(&local, szLocal, sizeof szLocal) != 1) {
    DebugLog(bIPv4 ? "[FtpClient] v4 command_socket getsockname failed.\n"
                   : "[FtpClient] v6 command_socket getsockname failed.\n");
    PlatCloseSocket(sListen);
    return kFtpNoLocalAddress;
  }
  PlatSockAddr data;
  if (PlatLocalAddress(sListen, &data) != 1) {
    DebugLog(bIPv4 ? "[FtpClient] v4 data_waiting_socket getsockname failed.\n"
                   : "[FtpClient] v6 data_waiting_socket getsockname failed.\n");
    PlatCloseSocket(sListen);
    return kFtpNoDataPort;
  }
  unsigned nDataPort = PlatAddrPort(&data);
  FixedText<160> cmd;
  if (bIPv4) {
    unsigned a[4] = {0, 0, 0, 0};
    sscanf(szLocal, "%u.%u.%u.%u", &a[0], &a[1], &a[2], &a[3]);
    cmd.Format("PORT %u,%u,%u,%u,%u,%u\r\n", a[0], a[1], a[2], a[3], nDataPort / 256, nDataPort % 256);
  } else {
    cmd.Format("EPRT |2|%s|%lu|\r\n", szLocal, static_cast<unsigned long>(nDataPort));
  }
  Exchange(pCtl, cmd.c_str(), pReply);
  *pListen = sListen;
  return 1;
}

// Waits for the data thread: while the data connection is not up, at most
// nNotConnectedSteps steps of 100 ms count; then the transfer is given up.
// Returns only when the thread has finished.
void WaitData(FtpDataBlock *pBlock, int bStarted, int nNotConnectedSteps) {
  if (!bStarted) return;
  int nCounted = 0;
  while (!pBlock->bDone.load()) {
    if (!pBlock->bConnected.load() && ++nCounted > nNotConnectedSteps) {
      CancelData(pBlock);
      break;
    }
    PlatSleepMs(kStepMs);
  }
  // Every wait of the data thread is bounded; after a cancel its sockets
  // are shut down, so this ends soon.
  while (!pBlock->bDone.load()) PlatSleepMs(kStepMs / 10);
}

// Reads the transfer start or the completion reply.  A read that fails is retried every 100 ms
// while the data thread still runs, and for kFtpFinalReplyGraceMs after it
// finished; a closed connection ends at once.  Returns 1 with the reply.
int ReadCompletion(FtpControl *pCtl, FtpDataBlock *pBlock, int bStarted, ReplyLine *pReply, int nLogStyle) {
  int64_t nGraceEnd = -1;
  for (;;) {
    int r = FtpReadReply(pCtl, pReply->data(), kFtpReplyLine, nLogStyle);
    if (r == 1) return 1;
    if (r == 0) return 0;
    if (!bStarted || pBlock->bDone.load()) {
      if (nGraceEnd < 0) nGraceEnd = PlatSteadyMs() + kFtpFinalReplyGraceMs;
      if (PlatSteadyMs() >= nGraceEnd) return -1;
    }
    PlatSleepMs(kStepMs);
  }
}

}  // namespace

namespace {

// The next byte of a percent-encoded text at *pp, which moves past it: "%"
// and two hexadecimal digits give that byte, a stray "%" is dropped.
// 0 at the end of the text.
int NextDecoded(const char **pp, char *pc) {
  for (;;) {
    const char *p = *pp;
    if (*p == '\0') return 0;
    if (*p != '%') {
      *pc = *p;
      *pp = p + 1;
      return 1;
    }
    int nHi = HexValue(p[1]);
    int nLo = nHi >= 0 ? HexValue(p[2]) : -1;
    if (nHi < 0 || nLo < 0) {
      *pp = p + 1;
      continue;
    }
    *pc = static_cast<char>(nHi * 16 + nLo);
    *pp = p + 3;
    return 1;
  }
}

}  // namespace

int FtpPercentDecode(const char *szIn, char *pOut, std::size_t nOutSize) {
  if (nOutSize == 0) return 0;
  std::size_t n = 0;
  int bFit = 1;
  char c;
  while (NextDecoded(&szIn, &c)) {
    if (c == '\0' || c == '\r' || c == '\n') {
      pOut[0] = '\0';
      return -1;
    }
    if (n + 1 >= nOutSize) {
      bFit = 0;
      break;
    }
    pOut[n++] = c;
  }
  pOut[n] = '\0';
  return bFit;
}

int FtpUrlPartSafe(const char *szPart) {
  char c;
  while (NextDecoded(&szPart, &c))
    if (c == '\r' || c == '\n' || c == '\0') return 0;
  return 1;
}

int ParsePasvReply(const char *szReply, char *pAddr, std::size_t nAddrSize, int *pnPort) {
  const char *pOpen = strchr(szReply, '(');
  if (pOpen == nullptr) return 0;
  int v[6];
  const char *p = pOpen + 1;
  for (int i = 0; i < 6; ++i) {
    if (!isdigit(static_cast<unsigned char>(*p))) return 0;
    char *pEnd = nullptr;
    long n = strtol(p, &pEnd, 10);
    if (n < 0 || n > 255 || pEnd - p > 3) return 0;
    v[i] = static_cast<int>(n);
    p = pEnd;
    if (i < 5) {
      if (*p != ',') return 0;
      ++p;
    }
  }
  if (*p != ')') return 0;
  snprintf(pAddr, nAddrSize, "%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
  *pnPort = v[4] * 256 + v[5];
  return 1;
}

int SplitExtendedAddress(const char *pFields, char d, char *pAddr, std::size_t nAddrSize, int *pnPort) {
  const char *pAddrStart = strchr(pFields, d);
  if (pAddrStart == nullptr) return 0;
  ++pAddrStart;
  const char *pPortStart = strchr(pAddrStart, d);
  if (pPortStart == nullptr) return 0;
  std::size_t nLen = static_cast<std::size_t>(pPortStart - pAddrStart);
  if (nLen >= nAddrSize) return 0;
  ++pPortStart;
  if (!isdigit(static_cast<unsigned char>(*pPortStart))) return 0;
  char *pEnd = nullptr;
  long nPort = strtol(pPortStart, &pEnd, 10);
  if (nPort < 1 || nPort > 65535 || *pEnd != d) return 0;
  memcpy(pAddr, pAddrStart, nLen);
  pAddr[nLen] = '\0';
  *pnPort = static_cast<int>(nPort);
  return 1;
}

int ParseEpsvReply(const char *szReply, char *pAddr, std::size_t nAddrSize, int *pnPort) {
  const char *pOpen = strchr(szReply, '(');
  if (pOpen == nullptr || pOpen[1] == '\0') return 0;
  // The three fields behind the first delimiter: protocol, address, port.
  return SplitExtendedAddress(pOpen + 2, pOpen[1], pAddr, nAddrSize, pnPort);
}

void FtpControlInit(FtpControl *pCtl, PlatSocket s, int nTimeoutMs) {
  pCtl->s = s;
  pCtl->nTimeoutMs = nTimeoutMs;
  pCtl->nHave = 0;
  pCtl->bSkipping = 0;
  pCtl->mOpenCode[0] = '\0';
}

int FtpReadLine(FtpControl *pCtl, char *pLine, std::size_t nSize) {
  // The first n bytes of mBuf as the line, cut to nSize-1 bytes.
  auto take = [&](std::size_t n) {
    std::size_t nCopy = n < nSize - 1 ? n : nSize - 1;
    memcpy(pLine, pCtl->mBuf, nCopy);
    pLine[nCopy] = '\0';
  };
  for (;;) {
    char *pLf = static_cast<char *>(memchr(pCtl->mBuf, '\n', static_cast<std::size_t>(pCtl->nHave)));
    if (pLf != nullptr) {
      std::size_t nLineLen = static_cast<std::size_t>(pLf - pCtl->mBuf) + 1;
      if (!pCtl->bSkipping) take(nLineLen);
      memmove(pCtl->mBuf, pLf + 1, static_cast<std::size_t>(pCtl->nHave) - nLineLen);
      pCtl->nHave -= static_cast<int>(nLineLen);
      if (!pCtl->bSkipping) return 1;
      pCtl->bSkipping = 0;
      continue;
    }
    if (pCtl->nHave == static_cast<int>(sizeof pCtl->mBuf)) {
      // A line longer than the buffer: its start is the line, the rest is
      // skipped up to its line feed.
      int bFirst = !pCtl->bSkipping;
      if (bFirst) take(sizeof pCtl->mBuf);
      pCtl->bSkipping = 1;
      pCtl->nHave = 0;
      if (bFirst) return 1;
    }
    int n = PlatRecv(pCtl->s, pCtl->mBuf + pCtl->nHave, static_cast<int>(sizeof pCtl->mBuf) - pCtl->nHave,
                     pCtl->nTimeoutMs);
    if (n < 0) return -1;
    if (n == 0) {
      if (pCtl->nHave == 0 || pCtl->bSkipping) return 0;
      // The last line without its line feed.
      take(static_cast<std::size_t>(pCtl->nHave));
      pCtl->nHave = 0;
      return 1;
    }
    pCtl->nHave += n;
  }
}

int FtpReadReply(FtpControl *pCtl, char *pReply, std::size_t nSize, int nLogStyle) {
  std::size_t nTotal = 0;
  for (;;) {
    int r = FtpReadLine(pCtl, pReply, nSize);
    if (r != 1) return r;
    DebugLogF(nLogStyle ? "[FtpClient] [%04d] %s\n" : "[FtpClient] [%04d] %s", pCtl->s, pReply);
    nTotal += strlen(pReply);
    if (pCtl->mOpenCode[0] == '\0') {
      // First line: "ddd-" opens a multi-line reply.
      if (!(HasCode(pReply) && pReply[3] == '-')) return 1;
      memcpy(pCtl->mOpenCode, pReply, 3);
      pCtl->mOpenCode[3] = '\0';
    } else if (strncmp(pReply, pCtl->mOpenCode, 3) == 0 && pReply[3] == ' ') {
      pCtl->mOpenCode[0] = '\0';
      return 1;
    }
    if (nTotal > kFtpReplyMax) {
      pCtl->mOpenCode[0] = '\0';
      return -1;
    }
  }
}

int FtpDataByPASV(FtpDataBlock *pBlock) {
  uint32_t nFamily = PlatAddrFamily(&pBlock->addr);
  PlatSocket s = PlatStreamSocket(nFamily);
  if (s == kPlatNoSocket || !StoreSocket(pBlock, &pBlock->sData, s)) {
    DebugLogF("[FtpDataByPASV] connect failed. code = %d\n", PlatLastError());
    pBlock->bDone.store(1);
    return kFtpDataNotConnected;
  }
  ApplyDataTimeouts(pBlock, s);
  if (PlatConnectAddr(s, &pBlock->addr, g_nTmoServer) != 1) {
    int nErr = PlatLastError();
    CloseSlot(pBlock, &pBlock->sData);
    DebugLogF("[FtpDataByPASV] connect failed. code = %d\n", nErr);
    pBlock->bDone.store(1);
    return kFtpDataNotConnected;
  }
  pBlock->bConnected.store(1);
  ReceiveData(pBlock, s, "FtpDataByPASV");
  CloseSlot(pBlock, &pBlock->sData);
  pBlock->bDone.store(1);
  return kFtpDataDone;
}

int FtpDataByPORT(FtpDataBlock *pBlock) {
  PlatSocket sListen = pBlock->sListen;
  ApplyDataTimeouts(pBlock, sListen);
  pBlock->bConnected.store(0);
  // The accept waits at most "Timeout Server(Plain)" (the platform default
  // when that is 0); a cancel shuts the socket down and ends it at once.
  PlatSocket s = kPlatNoSocket;
  PlatSockAddr peer;
  if (!pBlock->bCancel.load() && PlatWaitReadable(sListen, g_nTmoServer > 0 ? g_nTmoServer : kPlatDefaultWaitMs) == 1)
    s = PlatAccept(sListen, &peer);
  if (s == kPlatNoSocket || !StoreSocket(pBlock, &pBlock->sData, s)) {
    CloseSlot(pBlock, &pBlock->sListen);
    DebugLog("[FtpDataByPORT] accept failed.\n");
    pBlock->bDone.store(1);
    return kFtpDataNotAccepted;
  }
  ApplyDataTimeouts(pBlock, s);
  pBlock->bConnected.store(1);
  ReceiveData(pBlock, s, "FtpDataByPORT");
  CloseSlot(pBlock, &pBlock->sData);
  CloseSlot(pBlock, &pBlock->sListen);
  pBlock->bDone.store(1);
  return kFtpDataDone;
}

int FtpClient(ConnectionRecord *pRec, FILE *pAnswer, const char *szUser, const char *szPassword, const char *szHost,
              int nPort, const char *szDirectory, const char *szCommand, const char *szFile) {
  (void)pRec;
  // User, password, path and file name stand percent-encoded in the URL
  // (RFC 1738); the server gets them decoded.
  FtpText user, password, host, command, file;
  int nBadPart = FtpPercentDecode(szUser, user.data(), kFtpPartSize) < 0;
  nBadPart |= FtpPercentDecode(szPassword, password.data(), kFtpPartSize) < 0;
  host.Assign(szHost);
  // An IPv6 address in a URL stands in brackets, perhaps with its port
  // behind them ("[::1]:2121"): the host text keeps both.
  if (host.c_str()[0] == '[') {
    const char *pClose = strchr(host.c_str(), ']');
    if (pClose != nullptr) {
      if (pClose[1] == ':' && isdigit(static_cast<unsigned char>(pClose[2]))) {
        long nUrlPort = strtol(pClose + 2, nullptr, 10);
        if (nUrlPort > 0 && nUrlPort <= 65535) nPort = static_cast<int>(nUrlPort);
      }
      host.Assign(std::string_view(host.c_str() + 1, static_cast<std::size_t>(pClose - host.c_str() - 1)));
    }
  }
  command.Assign(szCommand);
  nBadPart |= FtpPercentDecode(szFile, file.data(), kFtpPartSize) < 0;
  FtpPath rawPath, path;
  rawPath.Assign(szDirectory);
  // Every part of the URL goes into a command line: one holding a line end
  // (or a NUL) would smuggle commands of its own to the server.
  nBadPart |= FtpPercentDecode(rawPath.c_str(), path.data(), kFtpPathSize) < 0;
  if (nBadPart || strpbrk(command.c_str(), "\r\n")) {
    DebugLog("[FtpClient] URL with CR, LF or NUL refused.\n");
    static const char kRefused[] = "501 URL holds CR, LF or NUL.\r\n";
    fwrite(kRefused, 1, sizeof kRefused - 1, pAnswer);
    fflush(pAnswer);
    return 0;
  }

  // Resolve, socket, connect.
  PlatSockAddr server;
  if (ResolveServer(host.c_str(), nPort, &server) != 1) return kFtpNotConnected;
  uint32_t nFamily = PlatAddrFamily(&server);
  int bIPv4 = nFamily == kFamilyIPv4;
  int nCtl = ConnectControl(&server, nFamily);
  if (nCtl < 0) return nCtl;
  char szServerIP[kAddrTextSize];
  PlatAddrText(&server, szServerIP, sizeof szServerIP);

  // Control timeouts.
  if (g_nTmoClient != 0) {
    PlatSetSendTimeout(nCtl, g_nTmoClient);
    PlatSetRecvTimeout(nCtl, g_nTmoClient);
  }
  FtpControl *pCtl = new (std::nothrow) FtpControl;
  FtpDataBlock *pBlock = new (std::nothrow) FtpDataBlock;
  if (pCtl == nullptr || pBlock == nullptr) {
    delete pCtl;
    delete pBlock;
    PlatShutdownClose(nCtl);
    return kFtpNoSocket;
  }
  // Replies are awaited as long as the longer of the two plain time-outs:
  // the client one alone (500 ms in HTTP mode) cuts servers that pause, as
  // many do before a 530 reply.
  FtpControlInit(pCtl, nCtl, g_nTmoServer > g_nTmoClient ? g_nTmoServer : g_nTmoClient);
  ReplyLine reply;
  FixedText<kFtpPathSize + 16> line;
  int nResult = 0;
  int bStarted = 0;

  // Greeting and login.
  FtpReadReply(pCtl, reply.data(), kFtpReplyLine, 0);
  line.Format("USER %s\r\n", user.c_str());
  Exchange(pCtl, line.c_str(), &reply);
  line.Format("PASS %s\r\n", password.c_str());
  Exchange(pCtl, line.c_str(), &reply);
  // A refused login is the answer.
  if (reply.c_str()[0] != '2') {
    AnswerWithReply(pAnswer, reply);
    goto quit;
  }

  // Directory: UTF-8 first, then code page 932.
  Exchange(pCtl, "SYST\r\n", &reply);
  line.Format("CWD %s\r\n", path.c_str());
  Exchange(pCtl, line.c_str(), &reply);
  if (reply.c_str()[0] == '5') {
    char szCp932[kFtpPathSize];
    if (PlatConvertText("UTF-8", "CP932", path.c_str(), static_cast<int>(path.Length()), szCp932,
                        static_cast<int>(sizeof szCp932)) >= 0 &&
        line.Format("CWD %s\r\n", szCp932)) {
      Exchange(pCtl, line.c_str(), &reply);
    }
  }
  // A directory the server refused in both forms: the transfer would run in
  // another directory and fetch or list something else.
  if (reply.c_str()[0] != '2' && !path.Empty()) {
    AnswerWithReply(pAnswer, reply);
    goto quit;
  }

  {
    // Type and data mode.
    line.Format("TYPE %s\r\n", file.Empty() ? "A" : "I");
    Exchange(pCtl, line.c_str(), &reply);
    Exchange(pCtl, bIPv4 ? "PASV\r\n" : "EPSV\r\n", &reply);

    FixedText<kFtpPartSize * 2 + 8> transfer;
    TransferCommand(command.c_str(), file.c_str(), &transfer);
    pBlock->pOut = pAnswer;
    pBlock->bIPv4 = bIPv4;
    pBlock->nSendTmoMs = g_nTmoClient;
    pBlock->nRecvTmoMs = g_nTmoServer;

    char szDataIP[kAddrTextSize] = "";
    int nDataPort = 0;
    int bPassive = (bIPv4 && strncmp(reply.c_str(), "227 ", 4) == 0 &&
                    ParsePasvReply(reply.c_str(), szDataIP, sizeof szDataIP, &nDataPort) == 1) ||
                   (!bIPv4 && strncmp(reply.c_str(), "229 ", 4) == 0 &&
                    ParseEpsvReply(reply.c_str(), szDataIP, sizeof szDataIP, &nDataPort) == 1);
    if (bPassive) {
      // Passive mode.  The data connection goes to the server the
      // control connection reached: an address named in the reply could
      // point the proxy at any other host.
      if (PlatMakeAddr(szServerIP, nDataPort, &pBlock->addr) != 1) bPassive = 0;
    }
    if (bPassive) {
      SendCommand(pCtl, transfer.c_str());
      int nErr = StartThreadRetry(PasvThread, pBlock);
      if (nErr != 0) {
        DebugLogF("[FtpClient] [%04d] FtpDataByPASV() beginthread failed.(%d)\n", nCtl, nErr);
      } else {
        bStarted = 1;
      }
    } else {
      // Active mode.
      PlatSocket sListen = kPlatNoSocket;
      nResult = OpenActive(pCtl, bIPv4, &sListen, &reply);
      if (nResult < 0) {
        PlatShutdownClose(nCtl);
        delete pCtl;
        delete pBlock;
        return nResult;
      }
      nResult = 0;
      if (strncmp(reply.c_str(), "200 ", 4) != 0) {
        PlatCloseSocket(sListen);
        AnswerWithReply(pAnswer, reply);
        goto quit;
      }
      SendCommand(pCtl, transfer.c_str());
      pBlock->sListen = sListen;
      int nErr = StartThreadRetry(PortThread, pBlock);
      if (nErr != 0) {
        DebugLogF("[FtpClient] [%04d] FtpDataByPORT() beginthread failed.(%d)\n", nCtl, nErr);
        PlatCloseSocket(sListen);
        pBlock->sListen = kPlatNoSocket;
      } else {
        bStarted = 1;
      }
    }

    // Completion: the transfer start, then the completion reply.
    int nStart = ReadCompletion(pCtl, pBlock, bStarted, &reply, 0);
    int bOk = 0;
    if (nStart == 1 && reply.c_str()[0] == '1') {
      nStart = ReadCompletion(pCtl, pBlock, bStarted, &reply, 1);
      if (nStart == 1) bOk = reply.c_str()[0] == '2';
    } else if (nStart == 1) {
      // No preliminary reply: this one is the final word (550 for a missing
      // file, 425 when the server could not open the data connection).
      bOk = reply.c_str()[0] == '2';
    }
    int nTmoMax = g_nTmoServer > g_nTmoClient ? g_nTmoServer : g_nTmoClient;
    if (bOk) {
      WaitData(pBlock, bStarted, nTmoMax * 30 / 100);
    } else {
      if (bStarted) CancelData(pBlock);
      WaitData(pBlock, bStarted, 0);
      // The refusal goes to the client after whatever the data thread wrote.
      if (nStart == 1) AnswerWithReply(pAnswer, reply);
    }
  }

quit:
  // The end: QUIT.
  PlatSend(nCtl, "QUIT\r\n", 6);
  DebugLogF("[FtpClient] [%04d] QUIT\r\n", nCtl);
  FtpReadReply(pCtl, reply.data(), kFtpReplyLine, 1);
  PlatShutdownClose(nCtl);
  delete pCtl;
  delete pBlock;
  return nResult;
}
