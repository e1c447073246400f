// ConnectDispatch: the CONNECT method of the HTTP proxy.
#include <cstring>

#include "base/fixed_text.h"
#include "core/file_pieces.h"
#include "core/lists.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "core/spool_file.h"
#include "net/connection_record.h"
#include "net/http_io.h"
#include "net/outbound.h"
#include "net/tunnel.h"
#include "http/handlers.h"
#include "http/http_text.h"
#include "platform/plat_file.h"
#include "platform/plat_time.h"

namespace {

// Relays the CONNECT request to the upstream proxy and its answer header to
// the client.
void RelayConnect(ConnectionRecord *pRec, int nSv, const char *szHost) {
  FILE *pIn = OpenRequestFile(pRec);
  if (pIn != nullptr) {
    std::size_t n;
    while ((n = ReadLine(pIn, pRec->mWork, kRecvChunk)) > 0) {
      int nSent = HttpSendServer(nSv, pRec->mWork, n);
      if (nSent < 0) {
        ConsoleF("[ConnectDispatch] [%04d] S:send(%04d): WSAGetLastError() = %d\n", pRec->nSock, nSv,
                 HttpLastError());
        break;
      }
      ConsoleF("[ConnectDispatch] [%04d] S:send(%04d):%d bytes\n", pRec->nSock, nSv, nSent);
    }
    fclose(pIn);
  }
  FixedText<kSpoolPathSize> answer;
  answer.Format("%s%s/req-%d-%04d_%s%s", g_szDataDir.c_str(), "cache", g_nProxyMode, pRec->nSock, szHost,
                "proxy.tmp");
  // The host comes from the client: it must not lead out of the folder.
  for (char *p = answer.data() + g_szDataDir.Length() + 6; *p; ++p)
    if (*p == '/' || *p == '\\') *p = '_';
  FILE *pOut = PlatSpoolCreate(answer.c_str(), "wb");
  // The answer header ends with an empty line; its last four bytes are
  // carried over between pieces so that the end is found across them.
  char szTail[4] = {0, 0, 0, 0};
  for (;;) {
    int n = HttpRecvServer(nSv, pRec->mRecv, kRecvChunk);
    if (n < 0) {
      DebugLogF("[ConnectDispatch] [%04d] S:recv(%04d):%d bytes. / WSAGetLastError() = %d\n", pRec->nSock, nSv, -1,
                HttpLastError());
      break;
    }
    if (n == 0) break;
    DebugLogF("[ConnectDispatch] [%04d] S:recv(%04d):%d bytes.\n", pRec->nSock, nSv, n);
    if (pOut != nullptr) fwrite(pRec->mRecv, 1, static_cast<std::size_t>(n), pOut);
    int bEnd = 0;
    for (int i = 0; i < n; ++i) {
      memmove(szTail, szTail + 1, 3);
      szTail[3] = pRec->mRecv[i];
      if (memcmp(szTail, "\r\n\r\n", 4) == 0) bEnd = 1;
    }
    if (bEnd) break;
  }
  if (pOut != nullptr) fclose(pOut);
  FILE *pAnswer = OpenSpool(answer.c_str(), "rb");
  if (pAnswer != nullptr) {
    SendFilePieces(pAnswer, pRec->mWork, kHttpSendPiece, [&](const char *p, std::size_t n) {
      int nSent = HttpSendClient(pRec, p, n);
      if (nSent < 0) {
        ConsoleF("[ConnectDispatch] [%04d] C:send: WSAGetLastError() = %d\n", pRec->nSock, HttpLastError());
        return 0;
      }
      ConsoleF("[ConnectDispatch] [%04d] C:send:%d bytes\n", pRec->nSock, nSent);
      return 1;
    });
    fclose(pAnswer);
  }
  DeleteSpool(answer.c_str());
}

}  // namespace

namespace {

void ConnectStartFailed(int nSock, int, int nErr) {
  DebugLogF("[ConnectDispatch] [%04d] ServerSession() beginthread failed.(%d)\n", nSock, nErr);
}

void ConnectAllocFailed(int nSock, int, int nErr) {
  DebugLogF("[ConnectDispatch] [%04d] TunnelBlock allocation failed.(%d)\n", nSock, nErr);
}

// A CONNECT target it cannot serve: 400, and the connection ends.
void SendBadRequest(ConnectionRecord *pRec) {
  HttpSendStatusClose(pRec, 400, "Bad Request");
  pRec->nLogStatus = 400;
  pRec->nLogBytes = 0;
}

// Sends the server the bytes that came behind the request: those the
// request file holds after the header's empty line, then those kept for a
// next request.  1 sent (or nothing to send), -1 a send failed.
int SendRequestTail(ConnectionRecord *pRec, int nSv) {
  int nResult = 1;
  FILE *pIn = OpenRequestFile(pRec);
  if (pIn != nullptr) {
    std::size_t n;
    while ((n = ReadLine(pIn, pRec->mWork, kRecvChunk)) > 0)
      if (strcmp(pRec->mWork, "\r\n") == 0 || strcmp(pRec->mWork, "\n") == 0) break;
    if (SendFilePieces(pIn, pRec->mWork, kRecvChunk, [&](const char *p, std::size_t nPiece) {
          if (HttpSendServer(nSv, p, nPiece) < 0) return 0;
          DebugLogF("[ConnectDispatch] [%04d] S:send(%04d):%d bytes tunneling.\n", pRec->nSock, nSv,
                    static_cast<int>(nPiece));
          return 1;
        }) != 1)
      nResult = -1;
    fclose(pIn);
  }
  if (nResult == 1 && pRec->nClientCarry > 0) {
    if (HttpSendServer(nSv, pRec->mClientCarry, static_cast<std::size_t>(pRec->nClientCarry)) < 0) nResult = -1;
    else DebugLogF("[ConnectDispatch] [%04d] S:send(%04d):%d bytes tunneling.\n", pRec->nSock, nSv, pRec->nClientCarry);
  }
  pRec->nClientCarry = 0;
  return nResult;
}

}  // namespace

int ConnectDispatch(ConnectionRecord *pRec) {
  pRec->nExchangeKind = 1;
  const char *szLine = pRec->mLine;
  const char *pLast = strrchr(szLine, ' ');
  if (pLast != nullptr && !StartsNoCase(pLast + 1, "http/")) {
    pRec->mLine[0] = '\0';
    return 0;
  }
  // Target: after "CONNECT " up to the next blank.
  FixedText<kHttpTextSize> target;
  std::size_t nSkip = strnlen(szLine, 8);
  target.Assign(std::string_view(szLine + nSkip, strcspn(szLine + nSkip, " \r\n")));
  char szHost[256];
  int nPort = SplitConnectTarget(target.c_str(), szHost, sizeof szHost);
  if (nPort < 0) {
    DebugLogF("[ConnectDispatch] [%04d] bad target [%s]\n", pRec->nSock, target.c_str());
    SendBadRequest(pRec);
    pRec->mLine[0] = '\0';
    return 0;
  }
  FixedText<kHttpTextSize> url;
  if (nPort != 443)
    url.Format("https://%s", target.c_str());
  else
    url.Format(strchr(szHost, ':') ? "https://[%s]" : "https://%s", szHost);
  url.data()[strcspn(url.c_str(), "\r\n")] = '\0';
  url.Append("/");
  FixedText<kHttpListKeySize> key;
  key.Format("%s,connect,tcp,%s,%d", pRec->mLocalIP.c_str(), szHost, nPort);
  if (WhiteBlackVerdict(url.c_str(), key.c_str()) == kListBlack) {
    DebugLogF("[ConnectDispatch] [%04d] QueryDBList(%s) hit.\n", pRec->nSock, pRec->mLine);
    pRec->mLine[0] = '\0';
    return 0;
  }
  // A kept HTTP connection is never a tunnel: it ends here, and the tunnel
  // gets its own connection.
  CloseServer(pRec);
  ConnectResult conn{};
  int nSv = szHost[0] ? ConnectHost(pRec, szHost, nPort, 0, &conn) : -1;
  if (nSv == -1) {
    DebugLogF("[ConnectDispatch] [%04d] connect fail.\n", pRec->nSock);
    pRec->mLine[0] = '\0';
    return 0;
  }
  pRec->nSvSock = nSv;
  int bUpstream = conn.bUpstream;
  if (bUpstream) RelayConnect(pRec, nSv, szHost);
  DebugLogF("[ConnectDispatch] [%04d] [%04d] sender connect success.\n", pRec->nSock, nSv);
  if (!bUpstream) {
    static const char kEstablished[] = "HTTP/1.0 200 Connection established.\r\n\r\n";
    HttpSendClient(pRec, kEstablished, sizeof kEstablished - 1);
    ConsoleF("[ConnectDispatch] [%04d] C:send:%s\n", pRec->nSock, kEstablished);
  }
  pRec->nLogStatus = 200;
  pRec->nLogBytes = 0;
  // What the client sent behind the CONNECT request (the start of a TLS
  // handshake, often in the same segment) goes first.
  if (!bUpstream) SendRequestTail(pRec, nSv);

  RunTunnelPasses(pRec, nSv, ConnectStartFailed, ConnectAllocFailed);
  HttpCloseSocket(nSv);
  pRec->nSvSock = -1;
  DebugLogF("[ConnectDispatch] [%04d] Close Server socket. [%04d]\n", pRec->nSock, nSv);
  pRec->mLine[0] = '\0';
  return 0;
}
