#include "inspect/scan_client.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "base/fixed_text.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "platform/plat_file.h"
#include "platform/plat_ipc.h"
#include "platform/plat_time.h"

namespace {

std::atomic<int> g_nReplyTimeoutMs{kScanReplyTimeoutMs};
std::atomic<int> g_nBusyTimeoutMs{kScanBusyTimeoutMs};

// What one client kind talks to.
struct ServiceClient {
  const char *szTag;    // routine name in log lines
  const char *szPipe;   // pipe (socket) name under <data>pipe/
  int nBufSize;         // request and reply buffer size
  MetricService nService;
  MetricCounter nFound;  // the verdict counted for a non-empty reply
};

const ServiceClient kAvsClient{"ScanFile", kAvsPipe, static_cast<int>(kScanReplySize), kMetServiceVirus,
                               kMetVerdictVirus};
const ServiceClient kSpamClient{"ScanSpamFile", kSpamPipe, static_cast<int>(kScanReplySize),
                                kMetServiceSpam, kMetVerdictSpam};
const ServiceClient kHttpClient{"ScanHttpFile", kHttpPipe, static_cast<int>(kHttpScanReplySize),
                                kMetServiceFilter, kMetVerdictWord};
const ServiceClient kZipClient{"CompressedbyPipe", kZipPipe, static_cast<int>(kScanReplySize),
                               kMetServiceCompress, kMetVerdictCompressed};

// The scanner's answers for encrypted executables and files it could not
// open are not findings.
bool ClearedVirusVerdict(const char *szVerdict) {
  return strcasecmp(szVerdict, "Password-protected-EXE") == 0 || strcasecmp(szVerdict, "AVS_ACCESSDENIED") == 0;
}

// Request text in a zero-filled buffer of nBufSize bytes (always
// NUL-terminated): the file name part of szArg cut to kScanNameCut
// characters, then the rest of szArg, then szSuffix.  With bFields the name
// part ends at the first TAB (the SMTP spam argument "file TAB client TAB
// reverse-path"); otherwise all of szArg is the name.
void BuildRequest(const char *szArg, int bFields, const char *szSuffix, char *pBuf, int nBufSize) {
  std::memset(pBuf, 0, static_cast<size_t>(nBufSize));
  size_t nName = bFields ? std::strcspn(szArg, "\t") : std::strlen(szArg);
  int nCut = static_cast<int>(nName < kScanNameCut ? nName : kScanNameCut);
  std::snprintf(pBuf, static_cast<size_t>(nBufSize), "%.*s%s%s", nCut, szArg, szArg + nName, szSuffix);
}

// The exchange shared by the four clients.  Sends the request pRequest
// (nBufSize bytes) and copies the reply, NUL-terminated, into pResult
// (nBufSize bytes; longer replies are cut).  With bLogVerdict the verdict
// line "[Tag] [sock] name --- verdict" is logged.
// Returns 1 when a reply was read, 0 when the call failed (service not
// running, no reply in time, busy for too long, or another failure).
int Exchange(const ServiceClient &c, int nSock, const char *szLogName, const char *pRequest, char *pResult,
             int bLogVerdict) {
  pResult[0] = '\0';
  PathText pipePath;
  if (!pipePath.Format("%spipe/%s", g_szDataDir.c_str(), c.szPipe)) {
    DebugLogF("[%s] [%04d] CallNamedPipe(%s) fail. code = %lu\n", c.szTag, nSock, pRequest,
              static_cast<unsigned long>(ENAMETOOLONG));
    return 0;
  }
  char *pReply = new (std::nothrow) char[static_cast<size_t>(c.nBufSize) + 1];
  if (!pReply) return 0;

  int nResult = 0;
  MetricOutcome nOutcome = kMetOutcomeFailed;
  int64_t nBusySince = -1;
  const int64_t nStartUs = g_bMetrics ? PlatSteadyUs() : 0;
  // No lock is held here: each call is a connection of its own, and the
  // service takes many at once (a full queue answers "busy" at once).
  for (;;) {
    int nLen = 0;
    int nError = 0;
    int rc = PlatCallPipe(pipePath.c_str(), pRequest, c.nBufSize, pReply, c.nBufSize,
                          g_nReplyTimeoutMs.load(), &nLen, &nError);
    if (rc > 0) {
      pReply[nLen] = '\0';
      CopyText(pResult, static_cast<size_t>(c.nBufSize), pReply);
      if (bLogVerdict) {
        DebugLogF("[%s] [%04d] %s --- %s\n", c.szTag, nSock, szLogName, pResult[0] ? pResult : "CLEAN");
      }
      nResult = 1;
      nOutcome = kMetOutcomeVerdict;
      break;
    }
    if (rc == 0) {  // not running: clean, nothing to log
      nOutcome = kMetOutcomeMissing;
      break;
    }
    if (nError == EAGAIN) {
      DebugLogF("[%s] [%04d] CallNamedPipe(%s) fail. code = %lu\n", c.szTag, nSock, pRequest,
                static_cast<unsigned long>(nError));
      int64_t nNow = PlatSteadyMs();
      if (nBusySince < 0) nBusySince = nNow;
      // A service that never takes the call must not hold the connection
      // for ever.
      if (nNow - nBusySince >= g_nBusyTimeoutMs.load()) {
        DebugLogF("[%s] [%04d] CallNamedPipe(%s) busy for %d ms, %s.\n", c.szTag, nSock, szLogName,
                  static_cast<int>(nNow - nBusySince), g_bScanRequired ? "no verdict" : "passed as clean");
        nOutcome = kMetOutcomeBusy;
        break;
      }
      PlatSleepMs(kScanBusyPauseMs);
      continue;
    }
    if (nError == ETIMEDOUT) {
      DebugLogF("[%s] [%04d] CallNamedPipe(%s) no reply within %d ms, %s.\n", c.szTag, nSock,
                szLogName, g_nReplyTimeoutMs.load(), g_bScanRequired ? "no verdict" : "passed as clean");
      nOutcome = kMetOutcomeTimeout;
    } else if (nError == ENAMETOOLONG) {
      DebugLogF("[%s] [%04d] CallNamedPipe(%s) fail. code = %lu\n", c.szTag, nSock, pRequest,
                static_cast<unsigned long>(nError));
    }
    break;  // any other failure: give up
  }
  delete[] pReply;
  if (g_bMetrics) MetricScanCall(c.nService, nOutcome, PlatSteadyUs() - nStartUs);
  return nResult;
}

// Sends szArg (plus szSuffix) to a service, after the size check of -K.
int ScanWith(const ServiceClient &c, int nSock, const char *szArg, int bFields, const char *szSuffix,
             char *pResult) {
  pResult[0] = '\0';
  if (FileSizeCheck(nSock, szArg)) return 1;
  char *pRequest = new (std::nothrow) char[static_cast<size_t>(c.nBufSize)];
  if (!pRequest) return 0;
  BuildRequest(szArg, bFields, szSuffix, pRequest, c.nBufSize);
  int nResult = Exchange(c, nSock, szArg, pRequest, pResult, 1);
  delete[] pRequest;
  if (nResult == 1) {
    bool bFound = pResult[0] && !(c.nService == kMetServiceVirus && ClearedVirusVerdict(pResult));
    MetricCount(bFound ? c.nFound : kMetVerdictClean);
  }
  return nResult;
}

}  // namespace

const char *ScanProtocolCode(int nProtocol) {
  switch (nProtocol) {
    case kModeHttp: return "1";
    case kModeSmtp: return "3";
    case kModePop3: return "4";
    case kModeImap4: return "5";
    case kModeFtp: return "2";
    default: return "";
  }
}

int ScanMissing(int nScanResult) { return g_bScanRequired && nScanResult != 1 ? 1 : 0; }

void SetScanTimeouts(int nReplyTimeoutMs, int nBusyTimeoutMs) {
  g_nReplyTimeoutMs.store(nReplyTimeoutMs);
  g_nBusyTimeoutMs.store(nBusyTimeoutMs);
}

int FileSizeCheck(int nSock, const char *szArg) {
  if (g_nScanMax == 0) return 0;
  uint64_t nSize = 0;
  int64_t nMTime = 0;
  if (PlatFileInfo(szArg, &nSize, &nMTime) != 1 || nSize <= g_nScanMax) return 0;
  DebugLogF("[FileSizeCheck] [%04d] CallNamedPipe(%s) size is too big. (%" PRIu64 ")\n", nSock, szArg, nSize);
  return 1;
}

int ScanFile(int nProtocol, int nSock, const char *szFile, char *pResult) {
  char szSuffix[8];
  std::snprintf(szSuffix, sizeof szSuffix, "\t%s", ScanProtocolCode(nProtocol));
  int nResult = ScanWith(kAvsClient, nSock, szFile, 0, szSuffix, pResult);
  if (ClearedVirusVerdict(pResult)) pResult[0] = '\0';
  return nResult;
}

int VirusScannerReachable() {
  if (g_nScanMax != 0) return 1;
  PathText pipePath;
  return !pipePath.Format("%spipe/%s", g_szDataDir.c_str(), kAvsClient.szPipe) ||
         PlatPipePresent(pipePath.c_str());
}

int VirusScannerMissing(char *pResult) {
  pResult[0] = '\0';
  if (g_bMetrics) MetricScanCall(kAvsClient.nService, kMetOutcomeMissing, 0);
  return 0;
}

int ScanSpamFile(int nSock, const char *szArg, char *pResult) {
  return ScanWith(kSpamClient, nSock, szArg, 1, "", pResult);
}

int ScanHttpFile(int nSock, const char *szFile, char *pResult) {
  return ScanWith(kHttpClient, nSock, szFile, 0, "", pResult);
}

int CompressedbyPipe(int nSock, const char *szSpoolFile, const char *szMailId, char *pResult) {
  pResult[0] = '\0';
  PathText msgFile;
  PathText envFile;
  if (!msgFile.Format("%scache/%s.dat", g_szDataDir.c_str(), szMailId) ||
      !envFile.Format("%scache/%s.$CP", g_szDataDir.c_str(), szMailId)) {
    return 0;  // the names would be cut: leave the message where it is
  }
  if (PlatMoveFile(szSpoolFile, msgFile.c_str(), 1, 1) != 1) return 0;

  char szRequest[kScanReplySize];
  BuildRequest(msgFile.c_str(), 0, "", szRequest, sizeof szRequest);
  int nResult = Exchange(kZipClient, nSock, msgFile.c_str(), szRequest, pResult, 0);
  if (pResult[0]) MetricCount(kMetVerdictCompressed);
  // Nothing compressed (or no answer): the envelope beside the message is
  // not needed any more.
  if (pResult[0] == '\0') PlatDeleteRetry(envFile.c_str(), g_nRetryLimit);
  DebugLogF("[CompressedbyPipe] [%04d] %s --- %s.\n", nSock, szSpoolFile,
            pResult[0] ? "Compressed" : "Uncompressed");
  // The message always goes back under its spool name, compressed or not.
  if (PlatMoveFile(msgFile.c_str(), szSpoolFile, 1, 1) != 1) {
    DebugLogF("[CompressedbyPipe] [%04d] %s --- move back failed.\n", nSock, szSpoolFile);
  }
  return nResult;
}
