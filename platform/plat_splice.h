// Zero-copy moves between two sockets: the bytes go from one socket into a
// pipe and from the pipe into the other socket inside the kernel, never
// through a buffer of the program.
#ifndef PROXY_PLATFORM_PLAT_SPLICE_H_
#define PROXY_PLATFORM_PLAT_SPLICE_H_

#include <cstddef>

// The pipe one direction of a tunnel moves its bytes through.
struct PlatSplicePipe {
  int nRead = -1, nWrite = -1;
};

// Opens the pipe.  1 done, -1 failure (the caller copies through a buffer).
int PlatSpliceOpen(PlatSplicePipe *pPipe);
void PlatSpliceClose(PlatSplicePipe *pPipe);

// Waits up to nTimeoutMs (the platform default when <= 0) for nFrom to be
// readable, takes what it has (at most nMax bytes) and hands all of it to
// nTo.  Returns the bytes moved; 0 when nFrom's sender has ended; -1 on a
// failure, with *pbSendFailed 1 when handing over to nTo failed (0 when
// reading nFrom failed or timed out).
int PlatSpliceMove(int nFrom, int nTo, PlatSplicePipe *pPipe, std::size_t nMax, int nTimeoutMs, int *pbSendFailed);

#endif  // PROXY_PLATFORM_PLAT_SPLICE_H_
