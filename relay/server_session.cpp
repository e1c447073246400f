// ServerToClientSession: one server reply is collected into the spool file,
// a message it carries is inspected (and an infected one replaced by the
// alert mail), the SMTP backup copies are finished, and the reply goes to
// the client.
#include <cstdio>
#include <cstring>
#include <new>

#include "core/log.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "ftp/ftp_data.h"
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

constexpr const char kTag[] = "ServerToClientSession";
constexpr const char k425[] = "425 Can't open data connection. \r\n";
// Longest wait of a final FTP reply for its data transfer: the scan of the
// transfer and a minute for the rest.
constexpr int kTransferWaitMs = kScanReplyTimeoutMs + 60000;

int ScanProtocol(const ConnectionRecord *pRec) {
  return g_nProxyMode == kModeSocks ? pRec->nRelayProto : g_nProxyMode;
}

// POP3 TOP: keeps the headers and at most nLines body lines of the reply.
// A reply that the server cut short (bComplete 0) gets no final "." line,
// so that it never looks like a whole message.
void CutTopReply(const char *szSpool, long nLines, int bComplete) {
  PathText tmp;
  if (!tmp.Format("%s.tmp", szSpool)) return;
  FILE *in = OpenSpool(szSpool, "rb");
  if (!in) return;
  FILE *out = PlatFileOpen(tmp.c_str(), "wbx");
  if (!out) {
    std::fclose(in);
    return;
  }
  char szLine[2048];
  std::size_t n;
  int bHeaders = 1;
  int bEnded = 0;
  long nBody = 0;
  while ((n = ReadLine(in, szLine, 2047)) > 0) {
    if (!bHeaders && std::strcmp(szLine, ".\r\n") == 0) {
      std::fwrite(szLine, 1, n, out);
      bEnded = 1;
      break;
    }
    if (bHeaders) {
      std::fwrite(szLine, 1, n, out);
      if (std::strcmp(szLine, "\r\n") == 0) bHeaders = 0;
      continue;
    }
    if (nBody >= nLines) break;
    std::fwrite(szLine, 1, n, out);
    ++nBody;
  }
  if (!bEnded && bComplete) std::fputs(".\r\n", out);
  std::fclose(out);
  std::fclose(in);
  unsigned nTry = 0;
  while (PlatCopyFile(tmp.c_str(), szSpool, 1) != 1 && ++nTry < kSpoolCopyAttempts) PlatSleepMs(kFilePollMs);
  DeleteSpool(tmp.c_str());
}

// One IMAP response part: scanned, replaced by the alert when infected,
// sent to the client and deleted.  A part no scanner could judge while
// inspection is mandatory is withheld (*pbWithheld set), and the tagged
// completion then becomes a NO.  1 sent, 0 a send failed.
int SendImapPart(ConnectionRecord *pRec, int nSvSock, int nClSock, const char *szPart, int *pbWithheld) {
  char szVerdict[kScanReplySize];
  int nScanned = ScanFile(ScanProtocol(pRec), nClSock, szPart, szVerdict);
  DebugLogF("[ServerToClientSession] [%04d] [%04d] [%s] VIRUS result [%s]\n", nClSock, nSvSock,
            pRec->lastCommand.c_str(), szVerdict[0] ? szVerdict : "CLEAN");
  ReadFileHead(szPart, pRec->mLine, sizeof pRec->mLine);
  const bool bTagged = !pRec->imapTag.Empty() && StartsNoCase(pRec->mLine, pRec->imapTag.c_str());
  if (ScanMissing(nScanned)) *pbWithheld = 1;
  if (*pbWithheld && (bTagged || ScanMissing(nScanned))) {
    DeleteSpool(szPart);
    if (!bTagged) return 1;
    RelayRefusalLine(pRec, kRefuseNoVerdict, pRec->mLine, sizeof pRec->mLine);
    return AnswerClient(pRec, nClSock, pRec->mLine, kTag) < 0 ? 0 : 1;
  }
  if (szVerdict[0]) MakeMail(szPart, pRec->mWork, szVerdict, RelayProtocol(pRec));
  int bSent = SendFileLines(pRec, nClSock, szPart, kTag);
  DeleteSpool(szPart);
  return bSent;
}

// IMAP FETCH: the response is split into parts (a part starts at the
// first line and at each line beginning "* " or with the tag) and each
// part is treated by itself.  Literal data is followed as the server
// announced it: a message line inside a literal never starts a part, so
// each message stays whole in its part and is scanned before any of it is
// sent.  1 all sent, 0 a send failed.
int InspectImapParts(const char *szSpool, int nSvSock, int nClSock, ConnectionRecord *pRec) {
  FILE *in = OpenSpool(szSpool, "rb");
  if (!in) return 1;
  char *pLine = new (std::nothrow) char[kRecvChunk + 1];
  if (!pLine) {
    std::fclose(in);
    return SendFileLines(pRec, nClSock, szSpool, kTag);
  }
  int nPart = 0;
  int bOk = 1;
  int bWithheld = 0;
  PathText part;
  FILE *out = nullptr;
  std::size_t n;
  // Collect-only scan: nothing completes, it only follows the literals.
  LineScan track;
  LineScanInit(&track, kProtoImap4, kReplyCollect, 0, 0, "");
  while (bOk && (n = ReadLine(in, pLine, kRecvChunk)) > 0) {
    bool bStart = out == nullptr ||
                  (track.bAtLineStart && ((pLine[0] == '*' && pLine[1] == ' ') ||
                                          (!pRec->imapTag.Empty() && StartsNoCase(pLine, pRec->imapTag.c_str()))));
    std::size_t nUsed;
    LineScanFeed(&track, pLine, n, &nUsed);
    if (bStart) {
      if (out) {
        std::fclose(out);
        out = nullptr;
        bOk = SendImapPart(pRec, nSvSock, nClSock, part.c_str(), &bWithheld);
        if (!bOk) break;
      }
      part.Format("%s.%03d", szSpool, nPart++);
      out = PlatFileOpen(part.c_str(), "wbx");
      if (!out) {
        // No part file: the rest goes out unscanned would pass a virus; end.
        bOk = 0;
        break;
      }
    }
    std::fwrite(pLine, 1, n, out);
  }
  if (out) {
    std::fclose(out);
    if (bOk) bOk = SendImapPart(pRec, nSvSock, nClSock, part.c_str(), &bWithheld);
    else DeleteSpool(part.c_str());
  }
  delete[] pLine;
  std::fclose(in);
  return bOk;
}

// A final FTP reply waits for the data transfer it may report on, and a
// transfer that was withheld is not reported as complete: its completion
// line (226 or 250) becomes the refusal.  Every final line of the
// collected reply counts, since a server may send the preliminary and the
// completion reply in one piece.  The rewritten reply is sent from memory
// (the disk may be full just then).  Returns -1 when nothing was withheld
// (the reply goes on as usual), else 1 sent, 0 the send failed.
int FtpWithholdCompletion(ConnectionRecord *pRec, const char *szSpool, int nClSock, int nSvSock) {
  uint64_t nSize = 0;
  int64_t nTime = 0;
  // Replies that carry a transfer's end are short.
  if (PlatFileInfo(szSpool, &nSize, &nTime) != 1 || nSize + 256 >= sizeof pRec->mWork) return -1;
  char *pText = pRec->mWork;
  ReadFileHead(szSpool, pText, sizeof pRec->mWork);
  auto fnFinalCode = [](const char *p) {
    return p[0] >= '0' && p[0] <= '9' && p[1] >= '0' && p[1] <= '9' && p[2] >= '0' && p[2] <= '9' && p[3] == ' '
               ? (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0')
               : 0;
  };
  int nCode = 0;
  for (const char *p = pText; *p; p = std::strchr(p, '\n') ? std::strchr(p, '\n') + 1 : p + std::strlen(p))
    if (int n = fnFinalCode(p)) nCode = n;
  PathText flag;
  if (nCode < 200 || !FtpHandOffName(&flag, "flg", nSvSock) || FtpTransferOutcome(flag.c_str(), nCode, kTransferWaitMs))
    return -1;
  DebugLogF("[ServerToClientSession] [%04d] data transfer withheld, refused.\n", nClSock);
  char szRefusal[256];
  RelayRefusalLine(pRec, kRefuseNoVerdict, szRefusal, sizeof szRefusal);
  char *pOut = pRec->mLine;
  std::size_t nOut = 0;
  for (const char *p = pText; *p;) {
    const char *pEnd = std::strchr(p, '\n');
    std::size_t nLine = pEnd ? static_cast<std::size_t>(pEnd - p) + 1 : std::strlen(p);
    int n = fnFinalCode(p);
    const char *pPut = (n == 226 || n == 250) ? szRefusal : p;
    std::size_t nPut = pPut == p ? nLine : std::strlen(szRefusal);
    if (nOut + nPut >= sizeof pRec->mLine) break;
    std::memcpy(pOut + nOut, pPut, nPut);
    nOut += nPut;
    p += nLine;
  }
  pOut[nOut] = '\0';
  return AnswerClient(pRec, nClSock, pOut, kTag) < 0 ? 0 : 1;
}

// SMTP: the completing line of a reply moves the mail transaction on.
void TrackSmtpReply(ConnectionRecord *pRec, int nClSock, int nCode) {
  if (pRec->mailState == 2 && nCode == 250) {
    char szAddr[1024];
    MailAddress(pRec->rcptLine.c_str(), szAddr, sizeof szAddr);
    FixedText<1100> line;
    line.Format("Recipient: %s\n", szAddr);
    AppendEnvelopes(pRec, line.c_str(), 0);
  } else if (pRec->mailState == 3 && nCode == 354) {
    pRec->mailState = 4;
  } else if (pRec->mailState == 4) {
    pRec->mailState = 0;
    if (g_bMailBackup && !pRec->mMailFile.Empty()) Backup_Mail(nClSock, pRec->mMailFile.c_str(), nCode == 250);
  }
}

// Capability lists as the client sees them: the EHLO reply never offers
// BDAT (every message must come with DATA), and the EHLO and CAPA replies
// list STARTTLS/STLS exactly when the proxy offers TLS to the client; IMAP
// replies never list STARTTLS (no TLS handshake is carried in IMAP).
void FilterCapabilities(const char *szSpool, char *pWork, int nProto, int bOffer) {
  uint64_t nSize = 0;
  int64_t nTime = 0;
  // Capability replies are short; pWork holds kRecvChunk + 8 bytes.
  if (PlatFileInfo(szSpool, &nSize, &nTime) != 1 || nSize > kRecvChunk - 32) return;
  ReadFileHead(szSpool, pWork, kRecvChunk + 1);
  std::size_t n = static_cast<std::size_t>(nSize);
  std::size_t nNew = n;
  if (nProto == kProtoSmtp) {
    nNew = FilterEhloReply(pWork, n, kRecvChunk, bOffer);
  } else if (nProto == kProtoPop3) {
    nNew = FilterCapaReply(pWork, n, kRecvChunk, bOffer);
  } else {
    // Line by line, in place.
    std::size_t nOut = 0;
    for (std::size_t i = 0; i < n;) {
      const char *pEnd = static_cast<const char *>(std::memchr(pWork + i, '\n', n - i));
      std::size_t nLine = pEnd ? static_cast<std::size_t>(pEnd - (pWork + i)) + 1 : n - i;
      std::memmove(pWork + nOut, pWork + i, nLine);
      i += nLine;
      nOut += FilterImapCapability(pWork + nOut, nLine);
    }
    nNew = nOut;
  }
  if (nNew != n) PlatWriteWholeFile(szSpool, pWork, nNew);
}

// IMAP replies that carry the capability list: the greeting (no command
// yet), and the replies to CAPABILITY, LOGIN and AUTHENTICATE.
bool ImapCapabilityReply(const char *szLast) {
  if (!*szLast) return true;
  const char *pBlank = std::strchr(szLast, ' ');
  if (!pBlank) return false;
  return EqualsNoCase(pBlank + 1, "capability") || StartsNoCase(pBlank + 1, "login ") ||
         StartsNoCase(pBlank + 1, "authenticate ");
}

}  // namespace

void Backup_Mail(int nClSock, const char *szMailId, int bAccepted) {
  static const char *const kPairs[2][2] = {{".$ML", ".EML"}, {".$CP", ".RCP"}};
  for (const auto &pair : kPairs) {
    PathText from, to;
    if (!MailBackupPath(&from, szMailId, pair[0]) || !MailBackupPath(&to, szMailId, pair[1])) continue;
    if (bAccepted) {
      if (PlatMoveFile(from.c_str(), to.c_str(), 0, 1) == 1)
        DebugLogF("[Backup_Mail] [%04d] [%s] Success.\n", nClSock, to.c_str());
      else
        DebugLogF("[Backup_Mail] [%04d] [%s] Fail. (GetLasterr() = %d)\n", nClSock, to.c_str(), PlatLastError());
    } else {
      PlatDeleteRetry(from.c_str(), 200);
      PlatDeleteRetry(to.c_str(), 200);
    }
  }
}

int ServerToClientSession(const char *szSpool, int nSvSock, int nClSock, char *pServerReply,
                          ConnectionRecord *pRec, int nKind) {
  if (nKind == 3) nKind = kReplyPlain;
  DebugLogF("[ServerToClientSession] [%04d] Start. sockSv=%04d, sockCl=%04d\n", nClSock, nSvSock, nClSock);
  const int nProto = RelayProtocol(pRec);

  int bTop = 0;
  long nTopLines = 0;
  if (nProto == kProtoPop3) {
    char szFirst[256];
    ReadFileHead(szSpool, szFirst, sizeof szFirst);
    szFirst[std::strcspn(szFirst, "\n")] = '\0';
    bTop = TopLineCount(szFirst, &nTopLines);
  }
  const char *szLast = pRec->lastCommand.c_str();
  int bMultiLine = nProto == kProtoPop3 &&
                   (EqualsNoCase(szLast, "LIST") || EqualsNoCase(szLast, "UIDL") || EqualsNoCase(szLast, "CAPA"));

  FILE *fp = PlatSpoolCreate(szSpool, "wb");
  if (!fp) return 0;
  LineScan *pScan = new (std::nothrow) LineScan;
  if (!pScan) {
    std::fclose(fp);
    return 0;
  }
  // After a failed write the reply is still read to its end (unwritten),
  // so that the relay stays in step with the server.
  int bStoreFailed = 0;
  LineScanInit(pScan, nProto, nKind, 0, bMultiLine, pRec->imapTag.c_str());
  std::size_t nCollected = 0;
  while (!pScan->bDone) {
    std::memset(pServerReply, 0, kRecvChunk + 1);
    int n = RelayRecvServer(pRec, nSvSock, pServerReply, static_cast<int>(kRecvChunk));
    if (n < 0) {
      DebugLogF("[ServerToClientSession] [%04d] S:recv(%04d):%d bytes. / error = %d\n", nClSock, nSvSock, n,
                PlatLastError());
      break;
    }
    if (n == 0) break;
    if (!pRec->ftpDataOk) {
      pRec->ftpDataOk = 1;
      std::memset(pServerReply, 0, kRecvChunk + 1);
      std::memcpy(pServerReply, k425, sizeof k425 - 1);
      n = static_cast<int>(sizeof k425 - 1);
    }
    DebugLogF("[ServerToClientSession] [%04d] S:recv(%04d):%d bytes.\n", nClSock, nSvSock, n);
    DebugLogF("[ServerToClientSession] [%04d] %.256s%s", nClSock, pServerReply,
              (n > 256 || pServerReply[n - 1] != '\n') ? "\n" : "");
    if (!bStoreFailed &&
        (PlatSpoolAppend(fp, pServerReply, static_cast<std::size_t>(n)) != 1 || std::fflush(fp) != 0))
      bStoreFailed = 1;
    nCollected += static_cast<std::size_t>(n);
    std::size_t nUsed;
    LineScanFeed(pScan, pServerReply, static_cast<std::size_t>(n), &nUsed);
  }
  if (PlatSpoolClose(fp) != 1) bStoreFailed = 1;
  const int bDone = pScan->bDone;
  const int nCode = pScan->nCode;
  const int bContinuation = pScan->bContinuation;
  delete pScan;
  // A server that went away without a word ends the relay.
  if (nCollected == 0) return 0;

  if (nProto == kProtoImap4 && bContinuation) pRec->imapContinuation = 1;
  if (nProto == kProtoSmtp && bDone) TrackSmtpReply(pRec, nClSock, nCode);
  if (bStoreFailed) {
    // What reached the file is not the whole reply: the client is refused
    // instead.
    DebugLogF("[ServerToClientSession] [%04d] spool write failed, refused.\n", nClSock);
    if (nKind == kReplyCollect) return 0;
    RelayRefusalLine(pRec, kRefuseStorage, pRec->mLine, sizeof pRec->mLine);
    return AnswerClient(pRec, nClSock, pRec->mLine, kTag) < 0 ? 0 : 1;
  }
  if (nProto == kProtoFtp && bDone && nKind != kReplyCollect) {
    int nWithheld = FtpWithholdCompletion(pRec, szSpool, nClSock, nSvSock);
    if (nWithheld >= 0) return nWithheld;
  }
  if (pRec->tlsPhase >= kTlsEhloForwarded && pRec->tlsPhase <= kTlsClientAsked)
    StartTlsRewriteReply(pRec, szSpool, nSvSock);
  if (nKind == kReplyPlain &&
      ((nProto == kProtoSmtp && StartsNoCase(pRec->lastCommand.c_str(), "ehlo")) ||
       (nProto == kProtoPop3 && EqualsNoCase(pRec->lastCommand.c_str(), "CAPA")) ||
       (nProto == kProtoImap4 && ImapCapabilityReply(pRec->lastCommand.c_str()))))
    FilterCapabilities(szSpool, pRec->mWork, nProto, ClientTlsOffered(pRec));

  int nResult = 1;
  int bSent = 0;
  if (nKind == kReplyMessage && (nProto != kProtoImap4 || pRec->mailState == 3)) {
    MetricCount(nProto == kProtoImap4 ? kMetRequestImap4 : kMetRequestPop3);
    if (nProto == kProtoImap4) {
      nResult = InspectImapParts(szSpool, nSvSock, nClSock, pRec);
      bSent = 1;
    } else {
      char szVerdict[kScanReplySize];
      // The spam verdict of a fetched message is only logged.
      ScanSpamFile(nClSock, szSpool, szVerdict);
      DebugLogF("[ServerToClientSession] [%04d] [%04d] [%s] SPAM result [%s]\n", nClSock, nSvSock,
                pRec->lastCommand.c_str(), szVerdict[0] ? szVerdict : "CLEAN");
      int nScanned = ScanFile(ScanProtocol(pRec), nClSock, szSpool, szVerdict);
      DebugLogF("[ServerToClientSession] [%04d] [%04d] [%s] VIRUS result [%s]\n", nClSock, nSvSock,
                pRec->lastCommand.c_str(), szVerdict[0] ? szVerdict : "CLEAN");
      if (ScanMissing(nScanned)) {
        RelayRefusalLine(pRec, kRefuseNoVerdict, pRec->mLine, sizeof pRec->mLine);
        return AnswerClient(pRec, nClSock, pRec->mLine, kTag) < 0 ? 0 : 1;
      }
      if (szVerdict[0]) MakeMail(szSpool, pRec->mWork, szVerdict, nProto);
      if (bTop) CutTopReply(szSpool, nTopLines, bDone);
    }
  }
  if (nProto == kProtoFtp) FtpServerReply(pRec, szSpool, nSvSock, nClSock);
  if (nKind != kReplyCollect && !bSent) nResult = SendFileLines(pRec, nClSock, szSpool, kTag);
  // The relay's checks look at the start of the reply as forwarded.
  ReadFileHead(szSpool, pServerReply, kRecvChunk + 1);
  return nResult;
}
