// ruvoavs: the virus scanner service.  Serves DATAFOLDER/pipe/ruvoavs.
//   ruvoavs -E=VAR | -Z=DIR  [-D=SIGNATURE-FOLDER] [-K=bytes] [-T=ms] [-C=n] [-W]
// -D names the ClamAV database folder (default: the system's).  Without any
// signatures the service does not start (exit code 3, "skipped").
#include <cstdio>
#include <cstring>

#include "base/fixed_text.h"
#include "core/log.h"
#include "services/avs/avs_engine.h"
#include "services/common/service.h"

namespace {

constexpr uint64_t kDefaultMaxFile = 256ull << 20;  // 256 MiB
// A scan is cut off (and the file passes) well before the proxy stops
// waiting for the reply.
constexpr int kMaxScanMs = 100000;

PathText g_szDbDir;

int OnSwitch(char c, const char *szValue, void *) {
  if (c != 'D') return 1;
  if (!*szValue || !g_szDbDir.Assign(szValue)) {
    fprintf(stderr, "ruvoavs: -D: a signature database folder is needed\n");
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  ServiceOptions opt{};
  g_szDbDir.Assign(AvsDefaultDbDir());
  int rc = ServiceParseArgs(argc, argv, "ruvoavs", kDefaultMaxFile, &opt, OnSwitch, nullptr);
  if (rc != 0) return rc;

  AvsEngine *pEngine = nullptr;
  unsigned nSigs = 0;
  char szErr[512];
  rc = AvsLoad(g_szDbDir.c_str(), kMaxScanMs, &pEngine, &nSigs, szErr, sizeof szErr);
  if (rc != 1) {
    fprintf(stderr, "ruvoavs: %s%s\n", szErr,
            rc == 0 ? "; not started (install clamav-freshclam and run freshclam, or give -D=FOLDER)" : "");
    return rc == 0 ? kServiceSkipExit : 1;
  }
  DebugLogF("[ruvoavs] %u signatures loaded from %s\n", nSigs, g_szDbDir.c_str());

  AvsContext ctx{pEngine, opt.nMaxFileSize};
  ServiceDef def{"ruvoavs", kServiceRequestSize, kServiceReplySize, AvsHandle, &ctx};
  rc = ServiceRun(def, opt);
  // A scan still running after the bounded drain keeps the engine alive
  // until the process exits.
  AvsFree(pEngine);
  return rc;
}
