// Local inter-process channels: the named pipes of the inspection services.
//
// Each service listens on a Unix-domain stream socket whose path stands in
// for the pipe name (data folder + "pipe/" + NAME).  One call is one
// connection: the client writes one whole request, the service writes one
// reply and closes.
#ifndef PROXY_PLATFORM_PLAT_IPC_H_
#define PROXY_PLATFORM_PLAT_IPC_H_

#include <cstddef>

// Longest socket path that fits the address structure (without the NUL).
// Longer paths are refused, never cut: a cut path names another socket.
std::size_t PlatIpcMaxPath();

// ---- Client ----------------------------------------------------------------

// One call of a named pipe: connects to the socket at szPath without waiting
// for a place in the service's queue, writes all nRequestLen bytes, reads
// the reply until the service closes or nReplySize bytes have arrived, and
// closes.  Writing and reading together take at most nTimeoutMs.
// Returns 1 when a reply was read (*pnReplyLen bytes, possibly 0);
//         0 when no service is there: the socket file (or its folder) is
//           missing, or nobody listens on it (connection refused);
//        -1 on failure, *pnError saying why: EAGAIN the service's queue is
//           full (the pipe is busy, try again later), ETIMEDOUT no complete
//           reply within nTimeoutMs, ENAMETOOLONG the path does not fit,
//           otherwise the errno of the failed step.
// pnError may be nullptr.  Blocks at most nTimeoutMs.
int PlatCallPipe(const char *szPath, const char *pRequest, int nRequestLen, char *pReply, int nReplySize,
                 int nTimeoutMs, int *pnReplyLen, int *pnError);

// ---- Service side ----------------------------------------------------------

// Creates the listening socket of a service at szPath.  A socket file left
// behind by a service that is gone (nobody answers on it) is replaced; a
// path where a service still listens, or that is not a socket, is refused.
// Returns 1 with *pnSock listening, -1 on failure (*pnError = errno,
// EADDRINUSE when another service listens there).  pnError may be nullptr.
int PlatIpcListen(const char *szPath, int nBacklog, int *pnSock, int *pnError);

// Waits at most nTimeoutMs for a client of a listening socket.
// Returns 1 with *pnClient connected, 0 when none came in time (or a signal
// interrupted the wait), -1 on failure of the listening socket.
int PlatIpcAccept(int nListenSock, int nTimeoutMs, int *pnClient);

// Reads exactly nLen bytes, waiting at most nTimeoutMs in all.
// Returns 1 when all arrived, 0 when the peer closed first (*pnGot bytes
// arrived), -1 on error or time-out.  pnGot may be nullptr.
int PlatIpcRecvExact(int nSock, char *pBuf, int nLen, int nTimeoutMs, int *pnGot);

// Writes all nLen bytes, waiting at most nTimeoutMs in all.  A peer that has
// gone is a failure, never a signal.  Returns 1 done, -1 failure.
int PlatIpcSendAll(int nSock, const char *pBuf, int nLen, int nTimeoutMs);

// Closes a channel socket (either side).
void PlatIpcClose(int nSock);

// Removes a socket file.  1 removed, 0 not there, -1 failure.
int PlatIpcRemove(const char *szPath);

#endif  // PROXY_PLATFORM_PLAT_IPC_H_
