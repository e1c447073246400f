#include "platform/plat_sys.h"

#include <csignal>

void PlatProcessInit() { signal(SIGPIPE, SIG_IGN); }
