// SOCKS BIND and the two store-and-forward relays of SOCKS data.
#ifndef PROXY_SOCKS_SOCKS_BIND_H_
#define PROXY_SOCKS_SOCKS_BIND_H_

#include "net/connection_record.h"
#include "net/tunnel.h"

// Serves a BIND request on the connection thread: checks the SOCKS 4 user
// ID and the black and white lists, listens on pEp->mIP and pEp->nPort,
// sends the one reply naming that address and port, waits for one incoming
// connection (at most the client time-out, 300 s when none, and only while
// the SOCKS client stays connected) and forwards what the incoming peer
// sends to the client.  pEp is copied first.  Returns 1 when an incoming
// connection was served, 0 otherwise.
int SocksBindMain(const EndpointRecord *pEp, ConnectionRecord *pRec);

// Forwards from the incoming peer (pIncoming->nSock) to the SOCKS client
// (pEp->nSock) in store-and-forward passes until a pass receives nothing.
// Returns 1.
int SocksBindDispatch(ConnectionRecord *pIncoming, const EndpointRecord *pEp);

// One store-and-forward pass.  The block's nSvSock is the first socket, its
// nSock the second (nMode and nTotal are not used).  A pass receives from
// its source into the spool file "req-<mode>-<source socket>.dat" of the
// cache folder until the source closes, fails or stays silent for the
// receive time-out, then sends the file on.
// ServerSocksSession: second -> first, waits "Timeout Client(Plain)",
// deletes the block (allocated with new) at its end.
// ClientSocksSession: first -> second, waits "Timeout Server(Plain)", leaves
// the block to its caller.
// Both return the number of bytes received from the source (64-bit: a
// pass may carry more than 2 GiB), or -1 when the spool file could not
// take them (nothing of the pass is forwarded then).
int64_t ServerSocksSession(TunnelBlock *pBlock);
int64_t ClientSocksSession(TunnelBlock *pBlock);

#endif  // PROXY_SOCKS_SOCKS_BIND_H_
