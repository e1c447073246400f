#include "relay/relay_io.h"

#include <cstring>
#include <new>

#include "core/log.h"
#include "core/metrics.h"
#include "core/spool_file.h"
#include "platform/plat_file.h"
#include "platform/plat_tls.h"
#include "relay/relay.h"
#include "relay/relay_text.h"

namespace {

// Deletions of relay files: 50-ms attempts, 10 s in all.
constexpr unsigned kDeleteAttempts = 200;

int ClampSize(int n) { return n > static_cast<int>(kRecvChunk) ? static_cast<int>(kRecvChunk) : n; }

}  // namespace

int RelayProtocol(const ConnectionRecord *pRec) {
  if (g_nProxyMode >= kModeSmtp && g_nProxyMode <= kModeFtp) return g_nProxyMode;
  return pRec->nRelayProto;
}

int RelayRecvClient(ConnectionRecord *pRec, int nClSock, char *pBuf, int nSize, const ClientDeadline *pD) {
  int nGot = ClientRecv(nClSock, pRec->pClientSSL, pBuf, ClampSize(nSize), pD);
  MetricBytes(kMetBytesFromClient, nGot);
  return nGot;
}

int RelayRecvServer(ConnectionRecord *pRec, int nSvSock, char *pBuf, int nSize) {
  int nGot = SslRecv(nSvSock, pRec->pServerSSL, pBuf, ClampSize(nSize), g_nTmoServer);
  MetricBytes(kMetBytesFromServer, nGot);
  return nGot;
}

int RelaySendClient(ConnectionRecord *pRec, int nClSock, const char *p, std::size_t n) {
  int nSent = SslSendBytes(nClSock, pRec->pClientSSL, p, static_cast<int>(n));
  MetricBytes(kMetBytesToClient, nSent);
  return nSent;
}

int RelaySendServer(ConnectionRecord *pRec, int nSvSock, const char *p, std::size_t n) {
  int nSent = SslSendBytes(nSvSock, pRec->pServerSSL, p, static_cast<int>(n));
  MetricBytes(kMetBytesToServer, nSent);
  return nSent;
}

const char *ServerTlsFailureReply(int nProto) {
  switch (nProto) {
    case kProtoPop3:
      return "-ERR TLS connection to the server failed.\r\n";
    case kProtoImap4:
      return "* BYE TLS connection to the server failed.\r\n";
    default:
      return "421 TLS connection to the server failed.\r\n";
  }
}

int RelayServerTls(ConnectionRecord *pRec, int nSvSock, int nClSock) {
  void *pCtx = nullptr;
  void *pSSL = OpenSSLClient(&pCtx, nSvSock, pRec->mSvName.c_str(), pRec->bSvNoVerify ? 0 : 1);
  if (pSSL) {
    pRec->pServerSSL = pSSL;
    pRec->pServerCtx = pCtx;
    return 1;
  }
  DebugLogF("[TelnetDispatch] [%04d] [%04d] TLS to server %s failed.\n", nClSock, nSvSock, pRec->mSvName.c_str());
  const char *szReply = ServerTlsFailureReply(RelayProtocol(pRec));
  RelaySendClient(pRec, nClSock, szReply, std::strlen(szReply));
  return 0;
}

int MailBackupPath(PathText *pOut, const char *szMailId, const char *szExt) {
  const char *szDir = g_szBackupDir.c_str();
  std::size_t nDir = g_szBackupDir.Length();
  const char *szSep = (nDir > 0 && szDir[nDir - 1] != '/') ? "/" : "";
  return pOut->Format("%s%s%.8s/%s%s", szDir, szSep, szMailId, szMailId, szExt);
}

int MailCachePath(PathText *pOut, const char *szMailId) {
  return pOut->Format("%scache/%s.$CP", g_szDataDir.c_str(), szMailId);
}

void DeleteEnvelopes(const ConnectionRecord *pRec) {
  if (pRec->mMailFile.Empty()) return;
  PathText path;
  if (g_bMailBackup && MailBackupPath(&path, pRec->mMailFile.c_str(), ".$CP"))
    PlatDeleteRetry(path.c_str(), kDeleteAttempts);
  if (MailCachePath(&path, pRec->mMailFile.c_str())) PlatDeleteRetry(path.c_str(), kDeleteAttempts);
}

void AppendEnvelopes(const ConnectionRecord *pRec, const char *szText, int bCreate) {
  if (pRec->mMailFile.Empty()) return;
  PathText path;
  if (g_bMailBackup && MailBackupPath(&path, pRec->mMailFile.c_str(), ".$CP") &&
      (bCreate || PlatFileExists(path.c_str())))
    PlatAppendFile(path.c_str(), szText, std::strlen(szText));
  if (MailCachePath(&path, pRec->mMailFile.c_str()) &&
      ((bCreate && pRec->bZipAttach) || (!bCreate && PlatFileExists(path.c_str()))))
    PlatAppendFile(path.c_str(), szText, std::strlen(szText));
}

int AnswerClient(ConnectionRecord *pRec, int nClSock, const char *szText, const char *szTag) {
  int nSent = RelaySendClient(pRec, nClSock, szText, std::strlen(szText));
  DebugLogF("[%s] [%04d] C:send:%d bytes.\n", szTag, nClSock, nSent);
  CopyText(pRec->serverReply, sizeof pRec->serverReply, szText);
  return nSent;
}

void RelayRefusalLine(const ConnectionRecord *pRec, int nWhy, char *pOut, std::size_t nOut) {
  const bool bStorage = nWhy == kRefuseStorage;
  switch (RelayProtocol(pRec)) {
    case kProtoSmtp:  // RFC 5321 4.2.3: both are transient, the client tries again
      std::snprintf(pOut, nOut, "%s\r\n",
                    bStorage ? "452 Requested action not taken: insufficient system storage"
                             : "451 Requested action aborted: local error in processing");
      break;
    case kProtoPop3:
      std::snprintf(pOut, nOut, "-ERR [SYS/TEMP] %s\r\n",
                    bStorage ? "insufficient system storage" : "message could not be inspected");
      break;
    case kProtoImap4:
      std::snprintf(pOut, nOut, "%sNO [UNAVAILABLE] %s\r\n", pRec->imapTag.Empty() ? "* " : pRec->imapTag.c_str(),
                    bStorage ? "insufficient system storage" : "message could not be inspected");
      break;
    default:
      std::snprintf(pOut, nOut, "451 Requested action aborted: %s\r\n",
                    bStorage ? "insufficient system storage" : "transfer could not be inspected");
      break;
  }
}

int DropServerReply(ConnectionRecord *pRec, int nSvSock, int *pnCode) {
  LineScan scan;
  LineScanInit(&scan, RelayProtocol(pRec), 0, 0, 0, pRec->imapTag.c_str());
  char szBuf[kRecvChunk + 1];
  for (;;) {
    int n = RelayRecvServer(pRec, nSvSock, szBuf, static_cast<int>(kRecvChunk));
    if (n <= 0) return 0;
    szBuf[n] = '\0';
    std::size_t nUsed;
    if (LineScanFeed(&scan, szBuf, static_cast<std::size_t>(n), &nUsed)) {
      if (pnCode) *pnCode = scan.nCode;
      return 1;
    }
  }
}

int TruncateFile(const char *szPath) {
  FILE *fp = PlatFileOpen(szPath, "wb");
  if (!fp) return -1;
  std::fclose(fp);
  return 1;
}

int SendFileLines(ConnectionRecord *pRec, int nClSock, const char *szPath, const char *szTag) {
  FILE *fp = OpenSpool(szPath, "rb");
  if (!fp) return 1;
  char *pLine = new (std::nothrow) char[kRecvChunk + 1];
  if (!pLine) {
    std::fclose(fp);
    return 0;
  }
  int nResult = 1;
  std::size_t n;
  while ((n = ReadLine(fp, pLine, kRecvChunk)) > 0) {
    int nSent = RelaySendClient(pRec, nClSock, pLine, n);
    if (nSent < 0) {
      nResult = 0;
      break;
    }
    DebugLogF("[%s] [%04d] C:send:%d bytes.\n", szTag, nClSock, nSent);
  }
  delete[] pLine;
  std::fclose(fp);
  return nResult;
}

void ReadFileHead(const char *szPath, char *pBuf, std::size_t nSize) {
  pBuf[0] = '\0';
  FILE *fp = PlatFileOpen(szPath, "rb");
  if (!fp) return;
  std::size_t n = std::fread(pBuf, 1, nSize - 1, fp);
  pBuf[n] = '\0';
  std::fclose(fp);
}
