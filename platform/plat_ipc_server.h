// Server side of the local IPC that the inspection services offer: a Unix
// stream socket at DATAFOLDER/pipe/NAME, one request and one reply per
// connection, plus the stop signals and the bounded file reads the services
// need.  Descriptors are plain ints owned by the caller.
#ifndef PROXY_PLATFORM_PLAT_IPC_SERVER_H_
#define PROXY_PLATFORM_PLAT_IPC_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

// Binds and listens on a Unix stream socket at szPath.  A stale socket file
// (nobody accepts on it) is removed first; a live one is left alone.
// Returns 1 listening (*pFd set), 0 another process already serves the path,
// -1 failure (path longer than a socket address holds - never cut -, a
// non-socket file in the way, bind or listen refused).
int PlatIpcServerListen(const char *szPath, int nBacklog, int *pFd);

// Waits at most nTimeoutMs for a client.  Stop signals are delivered only
// during this wait (see PlatStopSignalsInit), so a stop ends it at once.
// Returns 1 accepted (*pFd set, blocking, close-on-exec), 0 nothing yet or a
// signal arrived, -1 failure (errno-style number in *pErr when given).
int PlatIpcServerAccept(int fdListen, int nTimeoutMs, int *pFd, int *pErr);

// Reads exactly nLen bytes within nTimeoutMs in all.  Returns 1 complete,
// 0 the peer closed first (*pGot says how much arrived), -1 time-out or
// error.
int PlatIpcRecvExact(int fd, char *pBuf, size_t nLen, int nTimeoutMs, size_t *pGot);

// Writes all bytes within nTimeoutMs in all, never raising SIGPIPE.
// Returns 1 done, -1 time-out or error.
int PlatIpcSendAll(int fd, const char *pBuf, size_t nLen, int nTimeoutMs);

// Shuts a connection down in both directions and closes it.  Input still
// waiting is read and dropped first, so the reply is not lost to a reset.
void PlatIpcClose(int fd);

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread (and so in every
// thread it starts afterwards) and records them when they arrive during
// PlatIpcServerAccept.  Call before starting any thread.
void PlatStopSignalsInit();

// 1 once a stop signal has arrived, else 0.
int PlatStopRequested();

// Reads a whole regular file of at most nMax bytes into *pData (replacing
// its content).  Never blocks on a FIFO or device.  Returns 1 read, 0 no such
// file, -1 unreadable or not a regular file, kPlatFileTooLarge larger than
// nMax (*pSize set to the size found when given).
int PlatReadRegularFile(const char *szPath, uint64_t nMax, std::vector<char> *pData, uint64_t *pSize);

// 1 when szPath is a regular file; *pSize and *pMTimeNs (modification time in
// nanoseconds) filled.  0 missing, -1 something else or unreadable.
int PlatRegularFileStamp(const char *szPath, uint64_t *pSize, int64_t *pMTimeNs);

#endif  // PROXY_PLATFORM_PLAT_IPC_SERVER_H_
