#include "services/common/service.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "core/log.h"
#include "core/settings.h"
#include "platform/plat_file.h"
#include "platform/plat_ipc.h"
#include "platform/plat_ipc_server.h"
#include "platform/plat_sys.h"
#include "platform/plat_time.h"

namespace {

constexpr int kAcceptWaitMs = 1000;      // the accept wait also notices stops
constexpr int kDrainWaitMs = 5000;       // bound on requests in flight at a stop
constexpr int kListenBacklog = 128;

// Clients being served; the accept loop waits while the pool is full.
std::mutex g_PoolLock;
std::condition_variable g_PoolDone;
int g_nActive = 0;

struct ClientJob {
  int fd;
  const ServiceDef *pDef;
  const ServiceOptions *pOpt;
};

void LeavePool() {
  std::lock_guard<std::mutex> lock(g_PoolLock);
  --g_nActive;
  g_PoolDone.notify_all();
}

// One request: read exactly the request size, handle, reply, close, log.
void ServeClient(void *pArg) {
  ClientJob job = *static_cast<ClientJob *>(pArg);
  delete static_cast<ClientJob *>(pArg);
  const ServiceDef &def = *job.pDef;
  int64_t nStart = PlatSteadyMs();

  char *pRequest = new (std::nothrow) char[def.nRequestSize + 1];
  ServiceReply *pReply = new (std::nothrow) ServiceReply;
  char szShown[kPathSize + 64];
  szShown[0] = '\0';
  if (!pRequest || !pReply) {
    DebugLogF("[%s] [%04d] request refused: out of memory\n", def.szName, job.fd);
  } else {
    pReply->mText.Clear();
    pReply->mNote.Clear();
    size_t nGot = 0;
    int nRc = PlatIpcRecvExact(job.fd, pRequest, def.nRequestSize, job.pOpt->nRecvTimeoutMs, &nGot);
    pRequest[def.nRequestSize] = '\0';
    if (nRc != 1) {
      // A short or late request is not guessed at: the client gets no reply.
      DebugLogF("[%s] [%04d] request refused: %s after %zu of %zu bytes\n", def.szName, job.fd,
                nRc == 0 ? "closed" : "timed out", nGot, def.nRequestSize);
    } else if (memchr(pRequest, '\0', def.nRequestSize) == nullptr || pRequest[0] == '\0') {
      // Nothing to inspect: the empty reply (clean) is all the client gets.
      DebugLogF("[%s] [%04d] request refused: %s\n", def.szName, job.fd,
                pRequest[0] == '\0' ? "empty request" : "request text not terminated");
    } else {
      def.pfnHandle(pRequest, pReply, def.pCtx);
      // The client's buffer keeps one byte for its terminating NUL.
      size_t nLen = pReply->mText.Length();
      if (nLen > def.nReplySize - 1) nLen = def.nReplySize - 1;
      int nSent = nLen == 0 ? 1 : PlatIpcSendAll(job.fd, pReply->mText.c_str(), nLen, job.pOpt->nRecvTimeoutMs);
      char szVerdict[kFilterReplySize];
      ServiceLogText(pReply->mText.c_str(), szVerdict, sizeof szVerdict);
      ServiceLogText(pRequest, szShown, sizeof szShown);
      DebugLogF("[%s] [%04d] %s --- %s (%s%s%lld ms)%s\n", def.szName, job.fd, szShown,
                szVerdict[0] ? szVerdict : "CLEAN", pReply->mNote.c_str(), pReply->mNote.Empty() ? "" : ", ",
                static_cast<long long>(PlatSteadyMs() - nStart), nSent == 1 ? "" : " reply not delivered");
    }
  }
  delete[] pRequest;
  delete pReply;
  PlatIpcClose(job.fd);
  LeavePool();
}

int ParseNumber(const char *szValue, long long nMin, long long nMax, long long *pOut) {
  char *pEnd = nullptr;
  errno = 0;
  long long n = strtoll(szValue, &pEnd, 10);
  if (errno != 0 || pEnd == szValue || *pEnd != '\0' || n < nMin || n > nMax) return 0;
  *pOut = n;
  return 1;
}

}  // namespace

void ServiceLogText(const char *szIn, char *pOut, std::size_t nOut) {
  if (nOut == 0) return;
  size_t i = 0;
  for (; szIn[i] && i + 1 < nOut; ++i) {
    unsigned char c = static_cast<unsigned char>(szIn[i]);
    pOut[i] = c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
  }
  pOut[i] = '\0';
}

int ServiceRequestFile(const char *szRequest, PathText *pPath) {
  size_t nLen = strcspn(szRequest, "\t");
  if (nLen == 0) return 0;
  return pPath->Assign(std::string_view(szRequest, nLen));
}

int ServiceParseArgs(int argc, char **argv, const char *szName, uint64_t nDefaultMax, ServiceOptions *pOpt,
                     ServiceSwitchFn pfnExtra, void *pCtx) {
  pOpt->nRecvTimeoutMs = 10000;
  pOpt->nMaxFileSize = nDefaultMax;
  pOpt->nMaxClients = 64;
  g_szDataDir.Clear();
  g_bLogConsole = 1;
  g_bLogFile = 0;
  for (int i = 1; i < argc; ++i) {
    const char *szArg = argv[i];
    if (szArg[0] != '-' || szArg[1] == '\0') {
      fprintf(stderr, "%s: unexpected argument %s\n", szName, szArg);
      return 2;
    }
    char c = szArg[1];
    const char *szValue = szArg[2] == '=' ? szArg + 3 : szArg + 2;
    long long n = 0;
    switch (c) {
      case 'E': {
        const char *szDir = PlatGetEnv(szValue);
        if (!*szValue || !szDir || !*szDir) {
          fprintf(stderr, "%s: -E: the environment variable %s is not set\n", szName, szValue);
          return 2;
        }
        if (!g_szDataDir.Format("%s/TORV/", szDir)) {
          fprintf(stderr, "%s: -E: the data folder %s/TORV/ is too long\n", szName, szDir);
          return 2;
        }
        g_szEnvName.Assign(szValue);
        break;
      }
      case 'Z': {
        size_t nLen = strlen(szValue);
        if (nLen == 0 || !g_szDataDir.Format("%s%s", szValue, szValue[nLen - 1] == '/' ? "" : "/")) {
          fprintf(stderr, "%s: -Z: the data folder is empty or too long\n", szName);
          return 2;
        }
        break;
      }
      case 'W':
        g_bLogFile = 1;
        break;
      case 'V':
        g_bLogConsole = 1;
        break;
      case 'T':
        if (!ParseNumber(szValue, 100, 3600000, &n)) {
          fprintf(stderr, "%s: -T: a time bound of 100 to 3600000 ms is needed, not %s\n", szName, szValue);
          return 2;
        }
        pOpt->nRecvTimeoutMs = static_cast<int>(n);
        break;
      case 'K':
        if (!ParseNumber(szValue, 1, 1LL << 40, &n)) {
          fprintf(stderr, "%s: -K: a file size limit in bytes is needed, not %s\n", szName, szValue);
          return 2;
        }
        pOpt->nMaxFileSize = static_cast<uint64_t>(n);
        break;
      case 'C':
        if (!ParseNumber(szValue, 1, 4096, &n)) {
          fprintf(stderr, "%s: -C: 1 to 4096 clients at once, not %s\n", szName, szValue);
          return 2;
        }
        pOpt->nMaxClients = static_cast<int>(n);
        break;
      default: {
        int nRc = pfnExtra ? pfnExtra(c, szValue, pCtx) : 1;
        if (nRc == 2) return 2;
        if (nRc == 1) fprintf(stderr, "%s: switch %s ignored\n", szName, szArg);
        break;
      }
    }
  }
  if (g_szDataDir.Empty()) {
    fprintf(stderr, "%s: no data folder: give -E=VAR (folder $VAR/TORV/) or -Z=DIR\n", szName);
    return 2;
  }
  if (!g_szLogDir.Format("%s%slog", g_szDataDir.c_str(), szName)) {
    fprintf(stderr, "%s: the log folder path is too long\n", szName);
    return 2;
  }
  return 0;
}

int ServiceRun(const ServiceDef &def, const ServiceOptions &opt) {
  PlatStopSignalsInit();
  PlatMakeDir(g_szDataDir.c_str());
  if (g_bLogFile) PlatMakeDir(g_szLogDir.c_str());
  PathText pipeDir, sockPath;
  if (!pipeDir.Format("%spipe", g_szDataDir.c_str()) ||
      !sockPath.Format("%s/%s", pipeDir.c_str(), def.szName)) {
    DebugLogF("[%s] socket path under %s is too long\n", def.szName, g_szDataDir.c_str());
    return 1;
  }
  if (sockPath.Length() > PlatIpcMaxPath()) {
    DebugLogF("[%s] socket path %s is too long: a socket address holds %zu characters\n", def.szName,
              sockPath.c_str(), PlatIpcMaxPath());
    return 1;
  }
  if (PlatMakeDir(pipeDir.c_str()) != 1) {
    DebugLogF("[%s] cannot create the folder %s (errno %d)\n", def.szName, pipeDir.c_str(), errno);
    return 1;
  }
  int fdListen = -1;
  int nRc = PlatIpcServerListen(sockPath.c_str(), kListenBacklog, &fdListen);
  if (nRc == 0) {
    DebugLogF("[%s] another %s already serves %s\n", def.szName, def.szName, sockPath.c_str());
    return kServiceSkipExit;
  }
  if (nRc != 1) {
    DebugLogF("[%s] cannot listen on %s (errno %d)\n", def.szName, sockPath.c_str(), errno);
    return 1;
  }
  DebugLogF("[%s] listening on %s\n", def.szName, sockPath.c_str());

  int nExit = 0;
  while (!PlatStopRequested()) {
    {
      // A full pool leaves new clients in the listen queue until one ends.
      std::unique_lock<std::mutex> lock(g_PoolLock);
      while (g_nActive >= opt.nMaxClients) g_PoolDone.wait(lock);
    }
    int fd = -1, nErr = 0;
    nRc = PlatIpcServerAccept(fdListen, kAcceptWaitMs, &fd, &nErr);
    if (nRc == 0) continue;
    if (nRc < 0) {
      // Out of descriptors and the like: pause instead of spinning.
      DebugLogF("[%s] accept failed (errno %d)\n", def.szName, nErr);
      PlatSleepMs(100);
      continue;
    }
    ClientJob *pJob = new (std::nothrow) ClientJob{fd, &def, &opt};
    {
      std::lock_guard<std::mutex> lock(g_PoolLock);
      ++g_nActive;
    }
    int nStartErr = pJob ? PlatStartThread(ServeClient, pJob) : ENOMEM;
    if (nStartErr != 0) {
      DebugLogF("[%s] [%04d] request refused: no thread (errno %d)\n", def.szName, fd, nStartErr);
      delete pJob;
      PlatIpcClose(fd);
      LeavePool();
      PlatSleepMs(10);
    }
  }

  PlatIpcClose(fdListen);
  PlatDeleteRetry(sockPath.c_str(), 1);
  std::unique_lock<std::mutex> lock(g_PoolLock);
  if (!g_PoolDone.wait_for(lock, std::chrono::milliseconds(kDrainWaitMs), [] { return g_nActive == 0; })) {
    DebugLogF("[%s] stopping with %d requests unfinished\n", def.szName, g_nActive);
  }
  DebugLogF("[%s] stopped\n", def.szName);
  return nExit;
}

void ServiceNoteFileResult(int nResult, uint64_t nSize, uint64_t nMax, ServiceReply *pReply) {
  if (nResult == 0)
    pReply->mNote.Assign("file not found");
  else if (nResult == kPlatFileTooLarge)
    pReply->mNote.Format("file too large: %llu bytes, limit %llu", static_cast<unsigned long long>(nSize),
                         static_cast<unsigned long long>(nMax));
  else if (nResult != 1)
    pReply->mNote.Assign("file unreadable or not a regular file");
}

int ServiceReadRequestFile(const char *szPath, uint64_t nMax, std::vector<char> *pData, ServiceReply *pReply) {
  uint64_t nSize = 0;
  int nRead = PlatReadRegularFile(szPath, nMax, pData, &nSize);
  ServiceNoteFileResult(nRead, nSize, nMax, pReply);
  return nRead == 1;
}
