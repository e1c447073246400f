// Process-wide platform set-up.
#ifndef PROXY_PLATFORM_PLAT_SYS_H_
#define PROXY_PLATFORM_PLAT_SYS_H_

// Makes a send to a closed peer a failed call instead of a signal.
void PlatProcessInit();

#endif  // PROXY_PLATFORM_PLAT_SYS_H_
