#include "platform/plat_sys.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void PlatProcessInit() { signal(SIGPIPE, SIG_IGN); }

int PlatThreadCount() {
  // The kernel's own count: the "Threads:" line of /proc/self/status.
  FILE *fp = fopen("/proc/self/status", "r");
  if (!fp) return -1;
  char szLine[256];
  int n = -1;
  while (fgets(szLine, sizeof szLine, fp)) {
    if (strncmp(szLine, "Threads:", 8) == 0) {
      n = atoi(szLine + 8);
      break;
    }
  }
  fclose(fp);
  return n;
}
