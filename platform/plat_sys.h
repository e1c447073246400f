// Process-wide platform set-up.
#ifndef PROXY_PLATFORM_PLAT_SYS_H_
#define PROXY_PLATFORM_PLAT_SYS_H_

// Makes a send to a closed peer a failed call instead of a signal, and
// every file and folder the process creates from then on private to its
// owner (files 0600, folders 0700, whatever call creates them): spool,
// cache, backup and log files hold mail, private pages and credentials.
void PlatProcessInit();

// The number of threads of this process now; -1 when it cannot be read.
int PlatThreadCount();

#endif  // PROXY_PLATFORM_PLAT_SYS_H_
