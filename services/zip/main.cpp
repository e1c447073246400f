// qzmail2zip: the attachment compression service.
//   qzmail2zip -E=VAR | -Z=DIR [-S=bytes] [-W] [-T=ms] [-K=bytes] [-C=clients]
// Serves DATAFOLDER/pipe/qzmail2zip; -S is the attachment size above which
// an attachment is compressed (default 102400).
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/log.h"
#include "services/zip/mail_zip.h"
#include "services/zip/zip_service.h"

namespace {

int OnSwitch(char cSwitch, const char *szValue, void *pArg) {
  if (cSwitch != 'S') return 1;
  char *pEnd = nullptr;
  errno = 0;
  unsigned long long n = strtoull(szValue, &pEnd, 10);
  if (errno != 0 || pEnd == szValue || *pEnd != '\0' || *szValue == '-') {
    fprintf(stderr, "%s: -S: an attachment size in bytes is needed, not %s\n", kZipName, szValue);
    return 2;
  }
  static_cast<ZipContext *>(pArg)->nThreshold = n;
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  static ZipContext s_Ctx;
  ServiceOptions opt;
  if (ServiceParseArgs(argc, argv, kZipName, 64ull << 20, &opt, OnSwitch, &s_Ctx) != 0) return 2;
  s_Ctx.nMaxFile = opt.nMaxFileSize;
  MailZipInit();
  DebugLogF("[%s] attachments above %llu bytes are compressed\n", kZipName,
            static_cast<unsigned long long>(s_Ctx.nThreshold));
  ServiceDef def = {kZipName, kServiceRequestSize, kServiceReplySize, ZipHandle, &s_Ctx};
  return ServiceRun(def, opt);
}
