// Byte-copy loops of tunnels: the CONNECT tunnel of the HTTP proxy, and the
// same block for the relay's raw tunnels and the SOCKS data tunnel.
#ifndef PROXY_NET_TUNNEL_H_
#define PROXY_NET_TUNNEL_H_

#include <cstdint>

#include "base/limits.h"

struct TunnelSync;

// One tunnel pass of one direction.
struct TunnelBlock {
  int32_t nMode;                 // 1 in SOCKS mode
  int64_t nTotal;                // bytes moved (ClientSession writes it back); 64-bit, tunnels pass 4 GiB
  int32_t nSvSock;               // server socket
  int32_t nSock;                 // client socket
  char mBuf[kRecvChunk + 1];     // transfer buffer
  TunnelSync *pSync;             // null, or the starter's wait for the end of the thread
  void *pClientSSL;              // TLS session of the client side (null: plain)
};

// Client to server; runs as a thread of its own and frees its block (from
// new).  Without TLS on the client side both loops move the bytes with
// zero-copy splices (the transfer buffer stays unused).  The client's end of sending is passed on to the server at once
// (shutdown for sending).  Returns the byte total.
int64_t ServerSession(TunnelBlock *pBlock);
// Server to client on the calling thread; the server's end of sending is
// passed on to the client the same way.  Stores and returns the total.
int64_t ClientSession(TunnelBlock *pBlock);

struct ConnectionRecord;
// The passes of a tunnel between the record's client and nSvSock: each pass
// starts ServerSession on a thread of its own and runs ClientSession here;
// a pass that moved nothing from the server ends the tunnel, and so does
// the server's end of sending once the client's side has ended too (a
// half-closed tunnel goes on in the other direction).  Returns once
// the copy thread has stopped; nSvSock is then shut down but not closed.
// The two callbacks log a failed thread start and a failed allocation.
void RunTunnelPasses(ConnectionRecord *pRec, int nSvSock, void (*pfnStartFailed)(int nSock, int nSvSock, int nErr),
                     void (*pfnAllocFailed)(int nSock, int nSvSock, int nErr));

#endif  // PROXY_NET_TUNNEL_H_
