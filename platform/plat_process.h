// Child processes: start a program, stop it, wait for it with a bound.
// Used by the scripts' counterparts in tests and by helpers that run an
// outside program beside a service.
#ifndef PROXY_PLATFORM_PLAT_PROCESS_H_
#define PROXY_PLATFORM_PLAT_PROCESS_H_

// Starts argv[0] (searched in PATH; argv ends with nullptr) with standard
// input from /dev/null and standard output and error appended to szOutFile
// (inherited when nullptr).  Returns 1 with *pnPid, -1 when it could not be
// started (a program that is not found exits at once with code 127).
int PlatSpawn(const char *const *argv, const char *szOutFile, int *pnPid);

// Asks a child to stop (SIGTERM).  1 sent, -1 failure.
int PlatStopProcess(int nPid);

// Waits at most nTimeoutMs for a child to end and collects it.  Returns 1
// with *pnExit its exit code (128 + signal number when a signal ended it),
// 0 still running, -1 not a child of this process.
int PlatWaitProcess(int nPid, int nTimeoutMs, int *pnExit);

// Ends a child for certain: SIGTERM, up to nGraceMs to stop, then SIGKILL,
// and collects it.  Returns its exit code as PlatWaitProcess, or -1.
int PlatEndProcess(int nPid, int nGraceMs);

#endif  // PROXY_PLATFORM_PLAT_PROCESS_H_
