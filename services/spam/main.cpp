// ruvospam: the spam classifier service.  Serves DATAFOLDER/pipe/ruvospam.
//   ruvospam -E=VAR | -Z=DIR  [-S=SPAMD] [-X=ms] [-Q=ms] [-K=bytes] [-T=ms] [-C=n] [-W]
// -S  where spamd listens: "/unix/socket", "host:port" or "[v6]:port"
//     (default 127.0.0.1:783)
// -X  bound on one exchange with spamd (default 60000 ms)
// -Q  how long to wait at start-up for spamd to answer (default 30000 ms);
//     without an answer the service does not start (exit code 3, "skipped").
#include <cstdio>
#include <cstdlib>

#include "core/log.h"
#include "platform/plat_time.h"
#include "services/common/service.h"
#include "services/spam/spamd_client.h"

namespace {

// spamc's own default limit: larger messages are rarely spam and slow to
// classify.
constexpr uint64_t kDefaultMaxFile = 512000;

struct SpamArgs {
  SpamContext ctx;
  int nStartWaitMs;
};

int ParseMs(const char *szValue, int nMin, int *pOut) {
  char *pEnd = nullptr;
  long n = strtol(szValue, &pEnd, 10);
  if (pEnd == szValue || *pEnd != '\0' || n < nMin || n > 3600000) return 0;
  *pOut = static_cast<int>(n);
  return 1;
}

int OnSwitch(char c, const char *szValue, void *pCtx) {
  SpamArgs &a = *static_cast<SpamArgs *>(pCtx);
  switch (c) {
    case 'S':
      if (!SpamdParseAddress(szValue, &a.ctx.addr)) {
        fprintf(stderr, "ruvospam: -S: \"/socket/path\", \"host:port\" or \"[v6]:port\" is needed, not %s\n", szValue);
        return 2;
      }
      return 0;
    case 'X':
      if (!ParseMs(szValue, 100, &a.ctx.nSpamdTimeoutMs)) {
        fprintf(stderr, "ruvospam: -X: 100 to 3600000 ms, not %s\n", szValue);
        return 2;
      }
      return 0;
    case 'Q':
      if (!ParseMs(szValue, 0, &a.nStartWaitMs)) {
        fprintf(stderr, "ruvospam: -Q: 0 to 3600000 ms, not %s\n", szValue);
        return 2;
      }
      return 0;
    default:
      return 1;
  }
}

}  // namespace

int main(int argc, char **argv) {
  SpamArgs args{};
  SpamdParseAddress("127.0.0.1:783", &args.ctx.addr);
  args.ctx.nSpamdTimeoutMs = 60000;
  args.nStartWaitMs = 30000;
  ServiceOptions opt{};
  int rc = ServiceParseArgs(argc, argv, "ruvospam", kDefaultMaxFile, &opt, OnSwitch, &args);
  if (rc != 0) return rc;
  args.ctx.nMaxFileSize = opt.nMaxFileSize;

  const char *szWhere = args.ctx.addr.mPath.Empty() ? args.ctx.addr.mHost.c_str() : args.ctx.addr.mPath.c_str();
  // spamd takes a few seconds to compile its rules after it starts.
  int64_t nUntil = PlatSteadyMs() + args.nStartWaitMs;
  while (!SpamdPing(args.ctx.addr, 2000)) {
    if (PlatSteadyMs() >= nUntil) {
      fprintf(stderr, "ruvospam: spamd does not answer at %s port %d; not started (install spamd and start it, "
              "or give -S=ADDRESS)\n", szWhere, args.ctx.addr.mPath.Empty() ? args.ctx.addr.nPort : 0);
      return kServiceSkipExit;
    }
    PlatSleepMs(200);
  }
  DebugLogF("[ruvospam] spamd answers at %s\n", szWhere);

  ServiceDef def{"ruvospam", kServiceRequestSize, kServiceReplySize, SpamHandle, &args.ctx};
  return ServiceRun(def, opt);
}
