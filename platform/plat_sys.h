// Process-wide platform set-up.
#ifndef PROXY_PLATFORM_PLAT_SYS_H_
#define PROXY_PLATFORM_PLAT_SYS_H_

// Makes a send to a closed peer a failed call instead of a signal.
void PlatProcessInit();

// The number of threads of this process now; -1 when it cannot be read.
int PlatThreadCount();

#endif  // PROXY_PLATFORM_PLAT_SYS_H_
