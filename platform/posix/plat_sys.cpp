#include "platform/plat_sys.h"

#include <sys/stat.h>

#include <csignal>

void PlatProcessInit() {
  signal(SIGPIPE, SIG_IGN);
  // The creation mask takes every permission of group and others from what
  // fopen (0666) and the explicit modes of plat_file ask for.
  umask(077);
}
