// ClientToServerSession: one client command (or one SMTP message body) is
// read into the connection's spool file, inspected and forwarded.
#include <cstdio>
#include <cstring>
#include <new>

#include "core/lists.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "core/date_text.h"
#include "core/spool_file.h"
#include "inspect/scan_client.h"
#include "platform/plat_file.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "relay/ftp_hooks.h"
#include "relay/relay.h"
#include "relay/relay_io.h"
#include "relay/relay_text.h"
#include "relay/starttls.h"

namespace {

constexpr const char kTag[] = "ClientToServerSession";

// Reads from the client into fp until the scan is complete.  Bytes that
// arrive after the complete command stay in the record for the next call,
// so a pipelining client loses nothing and is served one command at a time.
// An SMTP message body (pBody set) is rewritten on its way into the file
// (pOut: room for 2 * kRecvChunk + 3 bytes).  With nLineMax set, a line
// beyond that many bytes is not written any more (it is refused whole).
// When the file does not take a write (a full disk) *pbStoreFailed is set
// and the rest is still read, unwritten, so that the client can be
// answered at the end of its command or message.
// The command must be complete within the client time-out (-T, first
// value) from the start of the wait; a message body must keep pace.
// Returns 1 complete, 0 the client closed or failed first.
int ReadClient(ConnectionRecord *pRec, int nClSock, FILE *fp, LineScan *pScan, char *pBuf, SmtpBody *pBody,
               char *pOut, std::size_t nLineMax, int *pbStoreFailed) {
  ClientDeadline deadline;
  ClientDeadlineStart(&deadline, g_nTmoClient);
  for (;;) {
    std::size_t n;
    if (pRec->nClientCarry > 0) {
      n = static_cast<std::size_t>(pRec->nClientCarry);
      std::memcpy(pBuf, pRec->mClientCarry, n);
      pBuf[n] = '\0';
      pRec->nClientCarry = 0;
    } else {
      std::memset(pBuf, 0, kRecvChunk + 1);
      int r = RelayRecvClient(pRec, nClSock, pBuf, static_cast<int>(kRecvChunk), &deadline);
      if (r < 0) {
        DebugLogF("[ClientToServerSession] [%04d] S:recv:%d bytes. / error = %d\n", nClSock, r, PlatLastError());
        return 0;
      }
      if (r == 0) return 0;
      n = static_cast<std::size_t>(r);
      if (pBody) ClientDeadlineCredit(&deadline, n);
      DebugLogF("[ClientToServerSession] [%04d] C:recv:%d bytes.\n", nClSock, r);
      DebugLogF("[ClientToServerSession] [%04d] %.256s%s", nClSock, pBuf,
                (n > 256 || n == 0 || pBuf[n - 1] != '\n') ? "\n" : "");
    }
    std::size_t nUsed = n;
    int bDone;
    if (pBody) {
      std::size_t nOut = 0;
      bDone = SmtpBodyFeed(pBody, pBuf, n, pOut, &nOut, &nUsed);
      if (!*pbStoreFailed && PlatSpoolAppend(fp, pOut, nOut) != 1) *pbStoreFailed = 1;
    } else {
      bDone = LineScanFeed(pScan, pBuf, n, &nUsed);
      bool bTooLong = nLineMax && (pScan->nLongest > nLineMax || pScan->nLen > nLineMax);
      if (!bTooLong && !*pbStoreFailed && PlatSpoolAppend(fp, pBuf, nUsed) != 1) *pbStoreFailed = 1;
    }
    if (!*pbStoreFailed && std::fflush(fp) != 0) *pbStoreFailed = 1;
    if (nUsed < n) {
      pRec->nClientCarry = static_cast<int32_t>(n - nUsed);
      std::memcpy(pRec->mClientCarry, pBuf + nUsed, n - nUsed);
    }
    if (bDone) return 1;
  }
}

// The backup copy of a message: the message itself as the server gets it,
// without the SMTP transparency dots and the terminating "." line.  Written
// under a temporary name and moved into place.  1 done, -1 failure.
int WriteMessageCopy(const char *szSpool, const char *szTarget, char *pLine) {
  PathText tmp;
  if (!tmp.Format("%s.tmp", szTarget)) return -1;
  FILE *in = PlatFileOpen(szSpool, "rb");
  if (!in) return -1;
  FILE *out = PlatFileOpen(tmp.c_str(), "wbx");
  if (!out) {
    std::fclose(in);
    return -1;
  }
  std::size_t n;
  int bLineStart = 1;
  while ((n = ReadLine(in, pLine, kRecvChunk)) > 0) {
    if (bLineStart && std::strcmp(pLine, ".\r\n") == 0) break;
    const char *p = pLine;
    if (bLineStart && pLine[0] == '.') {
      ++p;
      --n;
    }
    std::fwrite(p, 1, n, out);
    bLineStart = pLine[n + (p - pLine) - 1] == '\n';
  }
  std::fclose(in);
  if (std::fclose(out) != 0) {
    PlatDeleteRetry(tmp.c_str(), 1);
    return -1;
  }
  return PlatMoveFile(tmp.c_str(), szTarget, 1, 1);
}

// The client is told the message was refused; the server's open
// transaction is ended with RSET so that both sides agree it is over.
int RefuseMessage(ConnectionRecord *pRec, int nSvSock, int nClSock, const char *szReply) {
  int nSent = RelaySendClient(pRec, nClSock, szReply, std::strlen(szReply));
  DebugLogF("[ClientToServerSession] [%04d] C:send:%d bytes.\n", nClSock, nSent);
  DeleteEnvelopes(pRec);
  if (RelaySendServer(pRec, nSvSock, "RSET\r\n", 6) < 0 || !DropServerReply(pRec, nSvSock, nullptr))
    return kRelaySendFail;
  pRec->mailState = 0;
  return nSent < 0 ? kRelaySendFail : kRelayRefused;
}

// A message no scanner could judge while inspection is mandatory: 451, so
// that the sender keeps it and tries again later.
int RefuseUninspected(ConnectionRecord *pRec, int nSvSock, int nClSock) {
  char *szReply = pRec->mWork;
  RelayRefusalLine(pRec, kRefuseNoVerdict, szReply, sizeof pRec->mWork);
  DebugLogF("[ClientToServerSession] [%04d] [%s] no verdict, refused.\n", nClSock, pRec->lastCommand.c_str());
  return RefuseMessage(pRec, nSvSock, nClSock, szReply);
}

// SMTP message body (kind 1), complete in szSpool: spam and virus scan,
// backup copy, compression, then DATA to the server.  Returns 0 when the
// body is to be forwarded, else a relay code to return.
int InspectMessage(const char *szSpool, int nSvSock, int nClSock, ConnectionRecord *pRec) {
  char szVerdict[kScanReplySize];
  FixedText<kPathSize + 1100> spamArg;
  spamArg.Format("%s\t%s\t%s", szSpool, pRec->mClientIP.c_str(), pRec->mailFrom.c_str());
  MetricCount(kMetRequestSmtp);
  int nScanned = ScanSpamFile(nClSock, spamArg.c_str(), szVerdict);
  DebugLogF("[ClientToServerSession] [%04d] [%s] SPAM result [%s]\n", nClSock, pRec->lastCommand.c_str(),
            szVerdict[0] ? szVerdict : "CLEAN");
  // The spam verdict decides only with -J; the virus verdict always.
  if (g_bSpamReject && ScanMissing(nScanned)) return RefuseUninspected(pRec, nSvSock, nClSock);
  if (szVerdict[0] && g_bSpamReject) {
    FixedText<kScanReplySize + 64> reply;
    reply.Format("552 Requested mail action aborted: SPAM found '%s'.\r\n", szVerdict);
    return RefuseMessage(pRec, nSvSock, nClSock, reply.c_str());
  }
  int nScanProto = g_nProxyMode == kModeSocks ? pRec->nRelayProto : g_nProxyMode;
  nScanned = ScanFile(nScanProto, nClSock, szSpool, szVerdict);
  DebugLogF("[ClientToServerSession] [%04d] [%s] VIRUS result [%s]\n", nClSock, pRec->lastCommand.c_str(),
            szVerdict[0] ? szVerdict : "CLEAN");
  if (ScanMissing(nScanned)) return RefuseUninspected(pRec, nSvSock, nClSock);
  if (szVerdict[0] && QueryConnectPerimisson(pRec->mClientIP.c_str()) != 2) {
    FixedText<kScanReplySize + 64> reply;
    reply.Format("552 Requested mail action aborted: Virus found '%s'.\r\n", szVerdict);
    return RefuseMessage(pRec, nSvSock, nClSock, reply.c_str());
  }
  PathText backup;
  if (pRec->mailState == 3 && g_bMailBackup && !pRec->mMailFile.Empty() &&
      MailBackupPath(&backup, pRec->mMailFile.c_str(), ".$ML")) {
    unsigned nTry = 0;
    while (WriteMessageCopy(szSpool, backup.c_str(), pRec->mLine) != 1 && ++nTry < kSpoolCopyAttempts) PlatSleepMs(kFilePollMs);
  }
  if (pRec->bZipAttach && !pRec->mMailFile.Empty())
    CompressedbyPipe(nClSock, szSpool, pRec->mMailFile.c_str(), pRec->mZipResult.data());

  int nSent = RelaySendServer(pRec, nSvSock, "DATA\r\n", 6);
  if (nSent < 0) return kRelaySendFail;
  DebugLogF("[ClientToServerSession] [%04d] C:send(%04d):%d bytes.\n", nClSock, nSvSock, nSent);
  PathText side;
  side.Format("%s.tmp", szSpool);
  int bGot = ServerToClientSession(side.c_str(), nSvSock, nClSock, pRec->serverReply, pRec, kReplyCollect);
  int nResult = 0;
  if (!bGot) {
    nResult = kRelaySendFail;
  } else if (pRec->mailState != 4) {
    // The server did not take the message (no 354): its answer is the final
    // reply the client waits for, and the body must not reach the server,
    // which would read it as commands.
    int bSent = SendFileLines(pRec, nClSock, side.c_str(), kTag);
    DeleteEnvelopes(pRec);
    if (g_bMailBackup && !pRec->mMailFile.Empty()) Backup_Mail(nClSock, pRec->mMailFile.c_str(), 0);
    pRec->mailState = 0;
    nResult = bSent ? kRelayRefused : kRelaySendFail;
  }
  DeleteSpool(side.c_str());
  return nResult;
}

// The SMTP envelope bookkeeping of one forwarded command line.
void TrackSmtpCommand(ConnectionRecord *pRec, const char *szLine) {
  if (StartsNoCase(szLine, "rset\r\n") && szLine[6] == '\0') {
    DeleteEnvelopes(pRec);
    pRec->mailState = 0;
  } else if (StartsNoCase(szLine, "mail from:")) {
    char szAddr[1024];
    MailAddress(szLine, szAddr, sizeof szAddr);
    pRec->mailFrom.Assign(szAddr);
    if (pRec->mailState == 0) {
      char szId[64];
      MakeMailId(szId, sizeof szId);
      pRec->mMailFile.Assign(szId);
      if (g_bMailBackup) {
        PathText dir;
        std::size_t nDir = g_szBackupDir.Length();
        const char *szSep = (nDir > 0 && g_szBackupDir.c_str()[nDir - 1] != '/') ? "/" : "";
        if (dir.Format("%s%s%.8s", g_szBackupDir.c_str(), szSep, szId)) PlatMakeDir(dir.c_str());
      }
      FixedText<1200> line;
      line.Format("Message-ID: <%s>\n", szId);
      AppendEnvelopes(pRec, line.c_str(), 1);
      line.Format("Return-path: %s\n", pRec->mailFrom.c_str());
      AppendEnvelopes(pRec, line.c_str(), 0);
      pRec->mailState = 1;
    }
  } else if (pRec->mailState == 1 || pRec->mailState == 2) {
    pRec->rcptLine.Assign(szLine);
    pRec->mailState = 2;
  }
}

// IMAP, after a command was read: its tag is kept whole for the reply, and
// the commands the proxy answers itself are answered.  Returns 0 to
// forward, else a relay code.
int ImapClientCommand(ConnectionRecord *pRec, const char *szSpool, int nClSock, char *pBuf, bool bContinuationData,
                      bool bBadLiteral, bool bBadNonSync) {
  ReadFileHead(szSpool, pBuf, kRecvChunk + 1);
  if (!bContinuationData) {
    ImapTagOf(pBuf, pRec->mWork, sizeof pRec->imapTag);
    pRec->imapTag.Assign(pRec->mWork);
  }
  const char *pBlank = std::strchr(pBuf, ' ');
  // No TLS handshake is carried in IMAP (the capability lists do not offer
  // it); a client that asks anyway is refused.
  const bool bStartTls = !bContinuationData && pBlank && StartsNoCase(pBlank + 1, "starttls\r\n") &&
                         pBlank[11] == '\0';
  pBuf[0] = '\0';
  if (!bStartTls && !bBadLiteral) return kRelayCommand;
  FixedText<kRelayLineSize + 64> reply;
  reply.Format("%sBAD %s\r\n", pRec->imapTag.c_str(), bStartTls ? "STARTTLS not available" : "Literal too large");
  int nSent = AnswerClient(pRec, nClSock, reply.c_str(), kTag);
  // A literal of absurd size is refused before anything is spooled for it.
  // The data of a non-synchronizing one follows regardless and cannot be
  // told from commands, and a command whose start the server already has
  // cannot be withdrawn: those sessions end.
  if (nSent < 0 || (bBadLiteral && (bBadNonSync || bContinuationData))) return kRelaySendFail;
  return kRelayAnswered;
}

}  // namespace

int ClientToServerSession(const char *szSpool, int nSvSock, int nClSock, char *pClientCommand,
                          ConnectionRecord *pRec, int nKind) {
  DebugLogF("[ClientToServerSession] [%04d] Start. sockCl=%04d, sockSv=%04d\n", nClSock, nClSock, nSvSock);
  const int nProto = RelayProtocol(pRec);
  const bool bSmtp = nProto == kProtoSmtp;
  FILE *fp = PlatSpoolCreate(szSpool, "wb");
  if (!fp) return kRelaySendFail;
  if (nKind == 1 && bSmtp && g_bHeaderRewrite) {
    char szDate[kDateTextSize];
    MakeDateText(szDate);
    std::fprintf(fp, "Received: from %s by %s (%s);\r\n\t%s\r\n", pRec->mClientHost.c_str(),
                 pRec->mLocalName.c_str(), "Q-RELAY Server", szDate);
  }
  LineScan *pScan = new (std::nothrow) LineScan;
  // The SMTP body is rewritten into this buffer on its way to the spool.
  const bool bBody = nKind == 1 && bSmtp;
  char *pOut = bBody ? new (std::nothrow) char[2 * kRecvChunk + 3] : nullptr;
  if (!pScan || (bBody && !pOut)) {
    delete pScan;
    delete[] pOut;
    std::fclose(fp);
    return kRelaySendFail;
  }
  SmtpBody body;
  SmtpBodyInit(&body);
  LineScanInit(pScan, nProto, nKind, 1, 0, "");
  // IMAP: after the server's "+" continuation the client sends data (a
  // literal announced by its last line), not a new tagged command.
  const bool bContinuationData = nProto == kProtoImap4 && pRec->imapContinuation;
  if (bContinuationData) {
    pScan->nLiteral = pRec->nImapLiteral;
    pScan->bAfterLiteral = 1;
  }
  int bStoreFailed = 0;
  int bComplete = ReadClient(pRec, nClSock, fp, pScan, pClientCommand, bBody ? &body : nullptr, pOut,
                             bSmtp && nKind == 0 ? kSmtpLineMax : 0, &bStoreFailed);
  const bool bLineTooLong = bSmtp && nKind == 0 && pScan->nLongest > kSmtpLineMax;
  const bool bBadLiteral = pScan->bBadLiteral;
  const bool bBadNonSync = bBadLiteral && pScan->bLitPlus;
  if (nProto == kProtoImap4) {
    pRec->nImapLiteral = pScan->nSyncLiteral > 0 ? pScan->nSyncLiteral : 0;
    // The continuation is answered: the next command has a tag of its own.
    if (bContinuationData) pRec->imapContinuation = 0;
  }
  delete pScan;
  delete[] pOut;
  if (PlatSpoolClose(fp) != 1) bStoreFailed = 1;
  pClientCommand[0] = '\0';

  if (bStoreFailed) {
    // The spool lost part of what the client sent: nothing of it is
    // inspected or forwarded, and the client is told why.
    DebugLogF("[ClientToServerSession] [%04d] spool write failed (%s).\n", nClSock, szSpool);
    if (!bComplete) return kRelaySendFail;
    char *szReply = pRec->mWork;
    RelayRefusalLine(pRec, kRefuseStorage, szReply, sizeof pRec->mWork);
    if (nKind == 1) return RefuseMessage(pRec, nSvSock, nClSock, szReply);
    // A command whose IMAP tag may be lost with the file: the session ends.
    if (nProto == kProtoImap4) {
      AnswerClient(pRec, nClSock, "* BYE insufficient system storage\r\n", kTag);
      return kRelaySendFail;
    }
    return AnswerClient(pRec, nClSock, szReply, kTag) < 0 ? kRelaySendFail : kRelayAnswered;
  }

  if (nKind == 1) {
    // A message cut short by the client is never delivered.
    if (!bComplete) return kRelaySendFail;
    int r = InspectMessage(szSpool, nSvSock, nClSock, pRec);
    if (r != 0) return r;
  } else {
    if (bLineTooLong) {
      // RFC 5321 4.5.3.1: a command line is at most 1,000 bytes; it is
      // answered here and never reaches the server.
      if (!bComplete) return kRelaySendFail;
      return AnswerClient(pRec, nClSock, "500 Line too long\r\n", kTag) < 0 ? kRelaySendFail : kRelayAnswered;
    }
    if (nProto == kProtoImap4) {
      int r = ImapClientCommand(pRec, szSpool, nClSock, pClientCommand, bContinuationData, bBadLiteral, bBadNonSync);
      if (r != kRelayCommand) return r;
    }
    if (nProto == kProtoFtp) {
      int r = FtpClientCommand(pRec, szSpool, nSvSock);
      if (r < 0) return kRelaySendFail;
      if (r > 0) return kRelayAnswered;
    }
    if (nProto == kProtoSmtp || nProto == kProtoPop3) {
      int r = StartTlsClientStep(pRec, szSpool, nSvSock, nClSock);
      if (r == kRelayStartTls || r == kRelayAnswered) {
        ReadFileHead(szSpool, pClientCommand, kRecvChunk + 1);
        return r;
      }
      if (r < 0) return kRelaySendFail;
    }
  }

  // Forwarding, line by line.
  FILE *in = OpenSpool(szSpool, "rb");
  if (!in) return kRelayCommand;
  int nResult = kRelayCommand;
  std::size_t n;
  // Lines are read into the record's line buffer; the command buffer keeps
  // the last line forwarded (the relay takes lastCommand from it).
  char *pLine = pRec->mLine;
  // IMAP: the spool holds one command; the lines behind its first are
  // literal data and the rest of the command, never commands of their own.
  const bool bImap = nProto == kProtoImap4;
  bool bFirst = true;
  while ((n = ReadLine(in, pLine, kRecvChunk)) > 0) {
    if (!bImap || bFirst) std::memcpy(pClientCommand, pLine, n + 1);
    const char *pSend = bImap ? pLine : pClientCommand;
    const bool bClassify = !(bImap && !bFirst);
    bFirst = false;
    if (!(bSmtp && pRec->mailState == 4) && !bContinuationData && bClassify) {
      CommandClass cls;
      ClassifyCommand(nProto, pClientCommand, &cls);
      if (cls.nResult) nResult = cls.nResult;
      if (cls.nMailState >= 0) pRec->mailState = cls.nMailState;
      if (cls.bTop) n = static_cast<std::size_t>(std::snprintf(pClientCommand, kRecvChunk, "RETR %lu\r\n", cls.nTopMsg));
      if (bSmtp && nKind == 0) TrackSmtpCommand(pRec, pClientCommand);
      if (bSmtp && cls.nResult == kRelayMessage) {
        pRec->mailState = 3;
        static const char k354[] = "354 <CRLF>.<CRLF>\r\n";
        int nSent = RelaySendClient(pRec, nClSock, k354, sizeof k354 - 1);
        DebugLogF("[ClientToServerSession] [%04d] C:send:%d bytes.\n", nClSock, nSent);
        std::fclose(in);
        return nSent < 0 ? kRelaySendFail : kRelayMessage;
      }
    }
    if (nProto == kProtoFtp && pRec->ftpPortPending && FtpBeforeForward(pRec, pClientCommand, nSvSock) == kRelayFtpData)
      nResult = kRelayFtpData;
    int nSent = RelaySendServer(pRec, nSvSock, pSend, n);
    if (nSent < 0) {
      std::fclose(in);
      return kRelaySendFail;
    }
    DebugLogF("[ClientToServerSession] [%04d] C:send(%04d):%d bytes.\n", nClSock, nSvSock, nSent);
  }
  std::fclose(in);
  // The client went away in the middle of a command: what it sent is
  // forwarded, but no reply is waited for (nobody would read it).
  if (!bComplete) return kRelaySendFail;
  return nResult;
}
