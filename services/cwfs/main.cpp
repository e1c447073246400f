// ruvocwfs: the HTTP content filter service.
//   ruvocwfs -E=VAR | -Z=DIR [-W] [-T=ms] [-K=bytes] [-C=clients]
// Serves DATAFOLDER/pipe/ruvocwfs; the word list is DATAFOLDER/cwfs-words.db.
#include <cstdio>
#include <string>

#include "core/log.h"
#include "services/cwfs/cwfs.h"

int main(int argc, char **argv) {
  static CwfsContext s_Ctx;
  ServiceOptions opt;
  if (ServiceParseArgs(argc, argv, kCwfsName, 64ull << 20, &opt, nullptr, nullptr) != 0) return 2;
  if (!WordMatcherUsable()) {
    fprintf(stderr, "%s: not started: this processor lacks the instructions (SSSE3) the Hyperscan matcher needs\n",
            kCwfsName);
    return kServiceSkipExit;
  }
  if (!s_Ctx.mListPath.Format("%s%s", g_szDataDir.c_str(), kCwfsWordFile)) {
    fprintf(stderr, "%s: the word list path is too long\n", kCwfsName);
    return 2;
  }
  s_Ctx.nMaxFile = opt.nMaxFileSize;
  std::string sMessage;
  int nList = CwfsRefreshList(&s_Ctx, &sMessage);
  if (nList != 1) {
    fprintf(stderr, "%s: not started: %s (one word or phrase a line)\n", kCwfsName, sMessage.c_str());
    return kServiceSkipExit;
  }
  DebugLogF("[%s] %s\n", kCwfsName, sMessage.c_str());
  ServiceDef def = {kCwfsName, kFilterRequestSize, kFilterReplySize, CwfsHandle, &s_Ctx};
  return ServiceRun(def, opt);
}
