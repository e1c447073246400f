#include "platform/plat_sys.h"

#include <malloc.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void PlatProcessInit() {
  signal(SIGPIPE, SIG_IGN);
  // The creation mask takes every permission of group and others from what
  // fopen (0666) and the explicit modes of plat_file ask for.
  umask(077);
  // Every request allocates and frees a few blocks of tens of KiB (spool
  // write buffers, request analysis).  With the default threshold each
  // free that leaves 128 KiB at the top of a thread's heap hands the pages
  // back to the system, and the next request takes them again: a system
  // call and page faults per request.  Up to 4 MiB per heap stay.
  mallopt(M_TRIM_THRESHOLD, 4 * 1024 * 1024);
}

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
