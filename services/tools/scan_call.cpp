// Test tool: calls one inspection service through the proxy's own client
// code (inspect/scan_client.h) and prints "RESULT<TAB>REPLY" on one line.
//   scan_call DATADIR http FILE
//   scan_call DATADIR avs PROTOCOL FILE
//   scan_call DATADIR spam ARGUMENT
//   scan_call DATADIR zip SPOOLFILE MAILID
// The client's log lines go to standard error.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/limits.h"
#include "core/settings.h"
#include "inspect/scan_client.h"

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: scan_call DATADIR http|avs|spam|zip ARGS...\n");
    return 2;
  }
  size_t nLen = strlen(argv[1]);
  g_szDataDir.Format("%s%s", argv[1], nLen && argv[1][nLen - 1] == '/' ? "" : "/");
  g_bLogConsole = 1;
  static char s_szResult[kHttpScanReplySize];
  int nRc = -1;
  const char *szKind = argv[2];
  if (strcmp(szKind, "http") == 0) {
    nRc = ScanHttpFile(1, argv[3], s_szResult);
  } else if (strcmp(szKind, "avs") == 0 && argc >= 5) {
    nRc = ScanFile(atoi(argv[3]), 1, argv[4], s_szResult);
  } else if (strcmp(szKind, "spam") == 0) {
    nRc = ScanSpamFile(1, argv[3], s_szResult);
  } else if (strcmp(szKind, "zip") == 0 && argc >= 5) {
    nRc = CompressedbyPipe(1, argv[3], argv[4], s_szResult);
  } else {
    fprintf(stderr, "scan_call: unknown call %s\n", szKind);
    return 2;
  }
  printf("%d\t%s\n", nRc, s_szResult);
  return 0;
}
