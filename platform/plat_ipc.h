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

// 0 when a call of the pipe at szPath would surely find no service: no
// file is there, or one that is not a socket; 1 when one may listen.
int PlatPipePresent(const char *szPath);

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

// The same exchange with a stream service on TCP at the numeric address
// szHost (IPv4 or IPv6 text) and nPort; the connect counts against
// nTimeoutMs too.  Results as PlatCallPipe; 0 when nobody listens there
// (connection refused).
int PlatCallTcp(const char *szHost, int nPort, const char *pRequest, int nRequestLen, char *pReply, int nReplySize,
                int nTimeoutMs, int *pnReplyLen, int *pnError);

// The service side is in platform/plat_ipc_server.h.

#endif  // PROXY_PLATFORM_PLAT_IPC_H_
