#include "front/connection.h"

#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/base64.h"
#include "core/ldap_logon.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/settings.h"
#include "front/outbound.h"
#include "http/proxy_dispatch.h"
#include "inspect/scan_client.h"
#include "platform/plat_file.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"
#include "platform/plat_tls.h"
#include "relay/relay.h"
#include "relay/relay_io.h"
#include "socks/socks.h"

std::atomic<int> g_nActiveConn{0};

namespace {

constexpr const char kAuthHeader[] = "Proxy-Authorization: Basic ";
constexpr size_t kAuthHeaderLen = sizeof kAuthHeader - 1;  // 27
constexpr size_t kAuthLine = 512;                          // 511 characters a line
// Spool-file deletion: attempts of 50 ms (10 s in all); the next request
// truncates the file anyway.
constexpr unsigned kDeleteAttempts = 200;

const char *const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool StartsWithNoCase(const char *s, const char *szPrefix) {
  return strncasecmp(s, szPrefix, strlen(szPrefix)) == 0;
}

// The reverse name of an address text as the records keep it: the name, ""
// when there is none, "[text]" when the text is not a numeric address.
template <size_t N>
void ReverseNameField(const char *szAddr, FixedText<N> *pOut) {
  char szName[256];
  int r = PlatReverseName(szAddr, szName, sizeof szName);
  if (r < 0)
    pOut->Format("[%s]", szAddr);
  else
    pOut->Assign(szName);
}

// Walks the auth list and calls fnMatch(entry) for every entry ("user:pass",
// the text before the first ",", CR or LF of a non-comment line).  Returns
// the first entry that matched (copied into pEntry), or 0 when none did.
template <typename Fn>
int FindAuthEntry(Fn fnMatch, char *pEntry, size_t nEntry) {
  if (g_szAuthFile.Empty()) return 0;
  FILE *fp = fopen(g_szAuthFile.c_str(), "rb");
  if (!fp) return 0;
  char szLine[kAuthLine];
  int nFound = 0;
  while (!nFound && fgets(szLine, sizeof szLine, fp)) {
    size_t nLen = strlen(szLine);
    if (nLen > 0 && szLine[nLen - 1] != '\n' && !feof(fp)) {
      // Only the first 511 characters of a line count; the rest of it must
      // not pass for another entry.
      int c;
      while ((c = fgetc(fp)) != EOF && c != '\n') {
      }
    }
    char c0 = szLine[0];
    if (c0 == ' ' || c0 == '"' || c0 == '\'') continue;
    szLine[strcspn(szLine, ",\r\n")] = '\0';
    // An empty line would otherwise accept empty credentials.
    if (szLine[0] == '\0') continue;
    if (fnMatch(szLine)) {
      CopyText(pEntry, nEntry, szLine);
      nFound = 1;
    }
  }
  fclose(fp);
  return nFound;
}

// The user part of an entry: the text before its first ":".
void UserPart(const char *szEntry, char *pOut, size_t nOut) {
  CopyText(pOut, nOut, szEntry);
  pOut[strcspn(pOut, ":")] = '\0';
}

int SendParts(ConnectionRecord *pRec, const char *const *ppParts, size_t nParts) {
  int nResult = 1;
  for (size_t i = 0; i < nParts; ++i)
    if (SslSend(pRec->nSock, pRec->pClientSSL, ppParts[i]) < 0) nResult = -1;
  return nResult;
}

// Proxy credentials of the request in the open spool file (request line
// already read): 1 when a "Proxy-Authorization: Basic " line of the header
// passes the check, else 0.
int CheckProxyAuth(ConnectionRecord *pRec, FILE *fp) {
  while (fgets(pRec->mLine, static_cast<int>(kRecvChunk + 1), fp)) {
    // The credentials belong to the header; an upload body may hold any text.
    if (strcmp(pRec->mLine, "\r\n") == 0 || strcmp(pRec->mLine, "\n") == 0) break;
    if (!StartsWithNoCase(pRec->mLine, kAuthHeader)) continue;
    pRec->mLine[strcspn(pRec->mLine, "\r\n")] = '\0';
    if (g_nLdapAuth) {
      // Directory logon: decode the credentials, split them at the last ":"
      // into user and password and the user at "@" (else "%") into user and
      // domain, then ask the directory of the LDAP settings.  A part too
      // long for the directory request fails like wrong credentials.
      char *pDecoded = new (std::nothrow) char[kRecvChunk];
      if (!pDecoded) continue;
      Base64Decode(pRec->mLine + kAuthHeaderLen, pDecoded, kRecvChunk);
      LdapLogonRequest req;
      int nFit = LdapRequestFromCredentials(pDecoded, &req);
      delete[] pDecoded;
      if (nFit && LDAP_LOGON(&req) == 1) return 1;
      continue;
    }
    if (ComperTokenB64(pRec) == 1) return 1;
  }
  return 0;
}

// Whether HTTP requests must carry proxy credentials.  A SOCKS connection
// has passed its own check already (SOCKS 5 username/password; SOCKS 4 is
// refused while credentials are demanded), and a SOCKS client cannot send
// the header anyway.
bool NeedProxyAuth() { return g_bProxyAuth == 1 && g_nProxyMode != kModeSocks; }

// One pass of the HTTP request loop.  Returns 1 when a request was served
// (the loop may go on), 0 when the client sent nothing (closed or idle).
int ServeOneRequest(ConnectionRecord *pRec) {
  const int nSock = pRec->nSock;
  // Created empty and kept open while the request arrives: every block is
  // appended through the one descriptor.
  int nReqFd = PlatSpoolCreateFd(pRec->mReqFile.c_str());

  RequestScan scan;
  RequestScanInit(&scan);
  int64_t nTotal = 0;
  for (;;) {
    memset(pRec->mRecv, 0, kRecvChunk + 1);
    int n;
    if (pRec->nClientCarry > 0) {
      // Bytes a SOCKS client sent behind its request.
      n = pRec->nClientCarry;
      memcpy(pRec->mRecv, pRec->mClientCarry, static_cast<size_t>(n));
      pRec->nClientCarry = 0;
    } else {
      n = SslRecv(nSock, pRec->pClientSSL, pRec->mRecv, static_cast<int>(kRecvChunk), g_nTmoServer);
    }
    if (n < 0) {
      DebugLogF("[AcceptClients] [%04d] C:recv:%d bytes. / WSAGetLastError() = %d\n", nSock, -1, PlatLastError());
      break;
    }
    if (n == 0) break;
    DebugLogF("[AcceptClients] [%04d] C:recv:%d bytes.\n", nSock, n);
    if (nReqFd >= 0)
      PlatWriteFd(nReqFd, pRec->mRecv, static_cast<size_t>(n));
    else
      PlatAppendFile(pRec->mReqFile.c_str(), pRec->mRecv, static_cast<size_t>(n));
    nTotal += n;
    if (RequestScanFeed(&scan, pRec->mRecv, static_cast<size_t>(n))) break;
  }
  PlatCloseFd(nReqFd);
  // A client that closed or went quiet before sending a byte has nothing to
  // be answered.
  if (nTotal == 0) return 0;

  CopyText(pRec->mLine, kLineBufSize, scan.mFirstLine);
  int bRefused = 0;
  if (scan.bUpload) {
    int nScanType = g_nProxyMode == kModeSocks ? static_cast<int>(pRec->nEffProto) : g_nProxyMode;
    char szFound[kScanReplySize] = "";
    ScanFile(nScanType, nSock, pRec->mReqFile.c_str(), szFound);
    DebugLogF("[AcceptClients] [%04d] [%s] [%s]\n", nSock, pRec->mLine, szFound[0] ? szFound : "CLEAN");
    if (szFound[0]) {
      SendUploadRefused(pRec, szFound);
      pRec->bKeepAlive = 0;  // the page announces "Proxy-Connection: close"
      bRefused = 1;
    }
  }

  if (!bRefused) {
    int bAuthenticated = 0;
    FILE *fp = PlatOpenRetry(pRec->mReqFile.c_str(), "rb", g_nRetryLimit ? g_nRetryLimit : 1);
    if (fp) {
      if (!fgets(pRec->mRecv, static_cast<int>(kRecvChunk + 1), fp)) pRec->mRecv[0] = '\0';
      if (NeedProxyAuth()) bAuthenticated = CheckProxyAuth(pRec, fp);
      fclose(fp);
    }
    if (!NeedProxyAuth() || bAuthenticated) {
      Proxy_Dispatch(pRec);
    } else {
      SendProxyAuthRequired(pRec);
      // The reply announces "Proxy-Connection: close".
      pRec->bKeepAlive = 0;
    }
  }
  PlatSpoolDelete(pRec->mReqFile.c_str(), kDeleteAttempts);
  return 1;
}

// The HTTP request loop: requests one after another while the handlers keep
// the connection alive; then a kept server connection is closed.
void RunHttpLoop(ConnectionRecord *pRec) {
  pRec->bKeepAlive = 0;
  pRec->nSvSock = -1;
  while (ServeOneRequest(pRec) == 1 && pRec->bKeepAlive == 1) {
  }
  if (pRec->nSvSock != -1) {
    char szNoHost[256] = "";
    ConnectHost(pRec, szNoHost, 0);
  }
}

}  // namespace

ConnectionRecord *AllocConnectionRecord() {
  return static_cast<ConnectionRecord *>(calloc(1, sizeof(ConnectionRecord)));
}

void FreeConnectionRecord(ConnectionRecord *pRec) { free(pRec); }

void MakeDateTextAt(int64_t nTime, char *pOut) {
  PlatTm local;
  PlatLocalTime(nTime, &local);
  // Generated replies carry local standard time: daylight saving is taken
  // out, and the zone is the standard offset.
  long nStdOff = local.nGmtOff - (local.bDst ? 3600 : 0);
  PlatTm t;
  PlatUtcTime(nTime + nStdOff, &t);
  char szZone[16];
  if (nStdOff == 0) {
    snprintf(szZone, sizeof szZone, "GMT");
  } else {
    long nAbsMin = (nStdOff < 0 ? -nStdOff : nStdOff) / 60;
    if (nAbsMin > 1439) nAbsMin = 1439;
    snprintf(szZone, sizeof szZone, "%c%02ld%02ld", nStdOff < 0 ? '-' : '+', nAbsMin / 60, nAbsMin % 60);
  }
  snprintf(pOut, kDateTextSize, "%3s, %02d %3s %04d %02d:%02d:%02d %s", kDayNames[t.nWeekDay % 7], t.nDay,
           kMonthNames[(t.nMonth + 11) % 12], t.nYear, t.nHour, t.nMinute, t.nSecond, szZone);
}

void MakeDateText(char *pOut) { MakeDateTextAt(PlatNow(nullptr), pOut); }

int ComperTokenB64(ConnectionRecord *pRec) {
  if (strnlen(pRec->mLine, kAuthHeaderLen) < kAuthHeaderLen) return 0;
  const char *szGiven = pRec->mLine + kAuthHeaderLen;
  char szEntry[kAuthLine];
  auto fnMatch = [szGiven](const char *szCandidate) {
    char szB64[kAuthLine * 2];
    Base64Encode(szCandidate, strlen(szCandidate), szB64, sizeof szB64);
    return strcmp(szB64, szGiven) == 0;
  };
  if (!FindAuthEntry(fnMatch, szEntry, sizeof szEntry)) return 0;
  char szUser[kAuthLine];
  UserPart(szEntry, szUser, sizeof szUser);
  DebugLogF("[ComperTokenB64] [%04d] Proxy-Authorization success. [%s]\n", pRec->nSock, szUser);
  return 1;
}

int ComperToken(int nSock, const char *szCredentials) {
  char szEntry[kAuthLine];
  auto fnMatch = [szCredentials](const char *szCandidate) { return strcmp(szCandidate, szCredentials) == 0; };
  if (!FindAuthEntry(fnMatch, szEntry, sizeof szEntry)) return 0;
  char szUser[kAuthLine];
  UserPart(szEntry, szUser, sizeof szUser);
  DebugLogF("[ComperToken] [%04d] Proxy-Authorization success. [%s]\n", nSock, szUser);
  return 1;
}

namespace {

// The "Date: ...\r\n" line of a generated reply.
struct DateLine {
  char m[kDateTextSize + 16];
  DateLine() {
    char szDate[kDateTextSize];
    MakeDateText(szDate);
    snprintf(m, sizeof m, "Date: %s\r\n", szDate);
  }
};

// Sends the first lines both generated 407 replies share (status, date,
// server, MIME version and type), one send each, then the reply's own parts.
int Send407(ConnectionRecord *pRec, const char *const *ppBody, size_t nBodyParts) {
  DateLine date;
  const char *const kHead[] = {"HTTP/1.1 407 Proxy Authentication Required\r\n", date.m, "Server: QUILLON/v1.38\r\n",
                               "MIME-Version: 1.0\r\n", "Content-Type: text/html\r\n"};
  int nHead = SendParts(pRec, kHead, sizeof kHead / sizeof kHead[0]);
  int nBody = SendParts(pRec, ppBody, nBodyParts);
  return nHead < 0 || nBody < 0 ? -1 : 1;
}

}  // namespace

int SendProxyAuthRequired(ConnectionRecord *pRec) {
  const char *const kParts[] = {
      "Content-Length: 79\r\n",
      "Proxy-Connection: close\r\n",
      "Proxy-Authenticate: Basic Realm=\"proxy\"\r\n",
      "\r\n",
      "<HTML><HEAD></HEAD><BODY>\r\n",
      "<B>Proxy Authorization</B> required.</BODY></HTML>\r\n",
  };
  return Send407(pRec, kParts, sizeof kParts / sizeof kParts[0]);
}

int SendUploadRefused(ConnectionRecord *pRec, const char *szFound) {
  // The name is padded to 64 characters so the body is always 146 bytes;
  // a longer name is cut there, or Content-Length would lie.
  char szName[65];
  snprintf(szName, sizeof szName, "%-64.64s", szFound);
  const char *const kParts[] = {
      "Content-Length: 146\r\n",
      "Proxy-Connection: close\r\n",
      "\r\n",
      "<HTML><HEAD><TITLE>POST Fail</TITLE></HEAD><BODY>\r\n",
      "<H1>Found ",
      szName,
      "</H1></BODY></HTML>\r\n",
  };
  return Send407(pRec, kParts, sizeof kParts / sizeof kParts[0]);
}

void RequestScanInit(RequestScan *pScan) { memset(pScan, 0, sizeof *pScan); }

namespace {

enum { kScanRequestLine = 0, kScanHeader = 1, kScanBody = 2, kScanDone = 3 };
enum { kChunkSize = 0, kChunkData = 1, kChunkDataEnd = 2, kChunkTrailer = 3 };

// A whole header line (kept start in pScan->mLine, CR LF included).
void HeaderLine(RequestScan *pScan) {
  const char *szLine = pScan->mLine;
  if (pScan->nState == kScanRequestLine) {
    CopyText(pScan->mFirstLine, sizeof pScan->mFirstLine, szLine);
    pScan->mFirstLine[strcspn(pScan->mFirstLine, "\r\n")] = '\0';
    pScan->bUpload = StartsWithNoCase(szLine, "post ") || StartsWithNoCase(szLine, "put ");
    pScan->nState = kScanHeader;
  }
  if (StartsWithNoCase(szLine, "content-length: ")) pScan->nExpected = strtoll(szLine + 16, nullptr, 10);
  if (StartsWithNoCase(szLine, "transfer-encoding:") && strcasestr(szLine + 18, "chunked"))
    pScan->bChunked = 1;
  if (strcmp(szLine, "\r\n") != 0) return;
  // End of the header.
  if (!pScan->bUpload) {
    pScan->nState = kScanDone;
  } else if (pScan->bChunked) {
    pScan->nState = kScanBody;
    pScan->nChunkState = kChunkSize;
  } else {
    pScan->nState = pScan->nExpected <= 0 ? kScanDone : kScanBody;
  }
}

// A whole line of the chunked body grammar (size line or trailer line).
void ChunkLine(RequestScan *pScan) {
  if (pScan->nChunkState == kChunkSize) {
    char *pEnd = nullptr;
    long long nSize = strtoll(pScan->mLine, &pEnd, 16);
    if (pEnd == pScan->mLine || nSize < 0) {
      // Not a chunk: stop waiting and let the handler answer what came.
      pScan->nState = kScanDone;
      return;
    }
    pScan->nChunkLeft = nSize;
    pScan->nChunkState = nSize == 0 ? kChunkTrailer : kChunkData;
  } else if (pScan->nChunkState == kChunkDataEnd) {
    pScan->nChunkState = kChunkSize;
  } else if (pScan->nChunkState == kChunkTrailer) {
    if (strcmp(pScan->mLine, "\r\n") == 0 || strcmp(pScan->mLine, "\n") == 0) pScan->nState = kScanDone;
  }
}

}  // namespace

int RequestScanFeed(RequestScan *pScan, const char *pData, size_t nLen) {
  size_t i = 0;
  while (i < nLen && pScan->nState != kScanDone) {
    bool bLineMode = pScan->nState != kScanBody || (pScan->bChunked && pScan->nChunkState != kChunkData);
    if (!bLineMode) {
      size_t nTake = nLen - i;
      if (pScan->bChunked) {
        if (static_cast<int64_t>(nTake) > pScan->nChunkLeft) nTake = static_cast<size_t>(pScan->nChunkLeft);
        pScan->nChunkLeft -= static_cast<int64_t>(nTake);
        pScan->nBody += static_cast<int64_t>(nTake);
        if (pScan->nChunkLeft == 0) pScan->nChunkState = kChunkDataEnd;
      } else {
        pScan->nBody += static_cast<int64_t>(nTake);
        if (pScan->nBody >= pScan->nExpected) pScan->nState = kScanDone;
      }
      i += nTake;
      continue;
    }
    // Line mode: keep the start of the line, act at its LF.
    const char *pLf = static_cast<const char *>(memchr(pData + i, '\n', nLen - i));
    size_t nPart = pLf ? static_cast<size_t>(pLf - (pData + i)) + 1 : nLen - i;
    size_t nRoom = sizeof pScan->mLine - 1 - static_cast<size_t>(pScan->nLineLen);
    size_t nKeep = nPart < nRoom ? nPart : nRoom;
    memcpy(pScan->mLine + pScan->nLineLen, pData + i, nKeep);
    pScan->nLineLen += static_cast<int>(nKeep);
    pScan->mLine[pScan->nLineLen] = '\0';
    i += nPart;
    if (!pLf) break;
    if (pScan->nState == kScanBody)
      ChunkLine(pScan);
    else
      HeaderLine(pScan);
    pScan->nLineLen = 0;
    pScan->mLine[0] = '\0';
  }
  return pScan->nState == kScanDone;
}

int PROXYMain(ConnectionRecord *pRec) {
  ReverseNameField(pRec->mClientIP.c_str(), &pRec->mClientHost);
  pRec->nRelayProto = -1;
  pRec->nEffProto = static_cast<uint32_t>(-1);

  // Count the connection unless the limit is reached; increments and
  // decrements of all threads must not be lost.
  int nActive = g_nActiveConn.load();
  bool bAdmitted = false;
  while (nActive < g_nMaxConn) {
    if (g_nActiveConn.compare_exchange_weak(nActive, nActive + 1)) {
      bAdmitted = true;
      break;
    }
  }
  if (!bAdmitted) {
    DebugLogF("[AcceptClients] [%04d] Request exceeded. (Connection limit = %d)\n", pRec->nSock, g_nMaxConn);
    if (pRec->pClientCtx) PlatTlsRelease(pRec->pClientSSL);
    pRec->pClientCtx = pRec->pClientSSL = nullptr;
    CloseClient(pRec);
    return 1;
  }

  pRec->bPassThrough = 0;
  DebugLogF("[AcceptClients] [%08x] START [%04d]\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(pRec)),
            pRec->nSock);
  pRec->mReqFile.Format("%s%s/req-%d-%04d.dat", g_szDataDir.c_str(), "cache", g_nProxyMode, pRec->nSock);

  if (g_nProxyMode == kModeHttp) {
    RunHttpLoop(pRec);
  } else if (g_nProxyMode >= kModeSmtp && g_nProxyMode <= kModeFtp) {
    // SMTP, POP3, IMAP4 and FTP: the relay to the upstream server of -S.
    memset(pRec->mRecv, 0, kRecvChunk + 1);
    TelnetDispatch(pRec);
  } else if (g_nProxyMode == kModeSocks) {
    // SOCKS: the negotiation serves BIND and UDP ASSOCIATE itself; a
    // CONNECT goes on as HTTP requests or through the relay.
    int nNext = SocksNegotiate(pRec);
    if (nNext == kSocksNextHttp) {
      if (SocksHttpStart(pRec) == 1) RunHttpLoop(pRec);
    } else if (nNext == kSocksNextRelay) {
      TelnetDispatch(pRec);
    }
  }
  PlatSpoolDelete(pRec->mReqFile.c_str(), kDeleteAttempts);

  g_nActiveConn.fetch_sub(1);
  if (pRec->pClientCtx) PlatTlsRelease(pRec->pClientSSL);
  pRec->pClientCtx = pRec->pClientSSL = nullptr;
  CloseClient(pRec);
  return 1;
}

void PROXYMainThread(void *pArg) { PROXYMain(static_cast<ConnectionRecord *>(pArg)); }

void CloseClient(ConnectionRecord *pRec) {
  if (!pRec) return;
  int nLogSock = pRec->nSock != 0 ? pRec->nSock : -1;
  DebugLogF("[CloseClient] [%04d] start.\n", nLogSock);
  if ((g_nProxyMode == kModeSmtp || pRec->nRelayProto == 1) && !pRec->mMailFile.Empty()) {
    PathText path;
    if (g_bMailBackup) {
      if (MailBackupPath(&path, pRec->mMailFile.c_str(), ".$CP")) PlatDeleteRetry(path.c_str(), kDeleteAttempts);
    }
    if (MailCachePath(&path, pRec->mMailFile.c_str())) PlatDeleteRetry(path.c_str(), kDeleteAttempts);
  }
  if (pRec->nSock != 0) {
    // Shutdown then close: the kernel still delivers what is queued, so the
    // end of an answer is never thrown away by a reset.
    PlatShutdownClose(pRec->nSock);
    DebugLogF("[CloseClient] [%04d] Close Client socket.\n", pRec->nSock);
    pRec->nSock = 0;
  }
  // pAddrInfo: the listener frees its resolver results before the thread
  // starts, so nothing is held here.
  pRec->pAddrInfo = nullptr;
  pRec->bPassThrough = 0;
  pRec->mRecv[0] = '\0';
  FreeConnectionRecord(pRec);
  DebugLogF("[CloseClient] [%04d] end.\n", nLogSock);
}
