// Ports for new listeners of the data channels: the FTP data connections,
// SOCKS BIND and the relay sockets of SOCKS UDP ASSOCIATE share one cursor
// through the -N port range.
#ifndef PROXY_NET_DATA_PORT_H_
#define PROXY_NET_DATA_PORT_H_

#include "platform/plat_socket.h"

// Binds a probe socket of the family (bIPv4: IPv4, else IPv6) to the
// any-address and *pPort (0: the system chooses) and reads the bound port
// back.  0 done (*pPort holds the port), -1 the bind failed, -2 the bound
// address could not be read.  The probe socket is closed in every case.
int ProbePort(int bIPv4, int *pPort);

// A port for a new listener.  Without a port range (-N bound 0) the port the
// system assigns; with a range the next port from the shared cursor that a
// probe finds free, the cursor wrapping from the top of the range to its
// bottom.  The cursor's read and advance are one atomic step.  A range
// whose every port is busy is searched once; then -1.  -1 also when the
// system assigns no port.
int GetDataPort(int bIPv4);

// Reads the peer's port from the argument of PORT/PASV (bEpsvForm 0) or
// EPRT/EPSV (bEpsvForm 1) and returns a new own port from GetDataPort.
//   EPSV/EPRT form: szText is the decimal port; *pnHigh = port / 256,
//                   *pnLow = port % 256.
//   PORT/PASV form: szText starts one character before the fifth number
//                   ("," p1 "," p2); *pnHigh = p1, *pnLow = p2.
// A number outside 0..255 (0..65535 for the port) or a missing one sets
// both bytes to -1; the caller refuses such an argument.
int ParseDataPort(int bEpsvForm, int bIPv4, int *pnHigh, int *pnLow, const char *szText);

// Whether a connection accepted on a data listener comes from the peer it
// is meant for: its address is szExpected (a numeric address text), or,
// with bOwnHost, this host itself (the peer address equals the local
// address of the connection: the SOCKS relay reaching the proxy's own data
// port).  1 yes, 0 no.
int PeerIsExpected(PlatSocket s, const PlatSockAddr *pPeer, const char *szExpected, int bOwnHost);

// Accepts one connection on a ready listener and keeps it only from the
// expected peer (PeerIsExpected); any other is closed and logged as
// "[TAG] [%04d] connection from %s refused (expected %s).\n" (szTag, nSock).
// Returns the socket (*pPeer filled) or kPlatNoSocket: *pbRefused 1 when a
// peer was refused (the listener stays usable), 0 when the accept failed.
PlatSocket AcceptExpectedPeer(PlatSocket sListen, const char *szExpected, int bOwnHost, PlatSockAddr *pPeer,
                              int *pbRefused, const char *szTag, int nSock);

#endif  // PROXY_NET_DATA_PORT_H_
