// Datagram sockets, numeric address bytes, port probing and a two-socket
// wait: what the SOCKS BIND and UDP ASSOCIATE handlers and the data-port
// chooser need beyond the stream calls of plat_socket.h.
//
// Every call that fails leaves its reason in PlatLastError().  Nothing here
// writes to the debug log.
#ifndef PROXY_PLATFORM_PLAT_UDP_H_
#define PROXY_PLATFORM_PLAT_UDP_H_

#include <cstddef>

#include "platform/plat_socket.h"

// A new datagram socket of the family (bIPv6: IPv6, else IPv4).
// kPlatNoSocket on failure.
PlatSocket PlatUdpSocket(int bIPv6);

// Resolves host and decimal port for datagram sockets of the family into
// *pAddr.  bNumeric 0 asks for the canonical name (a name may be looked
// up); 1 accepts only a numeric host.  1 found (the first result is
// copied), -1 not found (*pErr holds the resolver code).
int PlatResolveDatagram(const char *szHost, int nPort, int bIPv6, int bNumeric, PlatSockAddr *pAddr, int *pErr);

// bind() to a resolved address.  1 done, -1 failure.
int PlatBindTo(PlatSocket s, const PlatSockAddr *pAddr);

// Sends one datagram to the address.  Returns the bytes sent or -1.
int PlatSendTo(PlatSocket s, const void *pData, int nLen, const PlatSockAddr *pTo);

// Waits at most nTimeoutMs (<= 0: kPlatDefaultWaitMs) for one datagram and
// receives at most nSize bytes of it; the sender comes back in *pFrom.
// Returns the bytes received, or -1 (ETIMEDOUT when the wait ran out).
int PlatRecvFrom(PlatSocket s, char *pBuf, int nSize, int nTimeoutMs, PlatSockAddr *pFrom);

// Binds a fresh stream socket of the family (bIPv4: IPv4, else IPv6) to the
// any-address and *pPort (host order; 0 lets the system choose), with
// address reuse as the listeners set it (connections in TIME_WAIT do not
// make a port busy, a listener does), reads the bound port back into
// *pPort and closes the socket.  0 done, -1 the bind failed, -2 the bound
// address could not be read.
int PlatProbePort(int bIPv4, int *pPort);

// The network-order bytes of a numeric address text: 4 for IPv4 (bIPv6 0),
// 16 for IPv6.  1 done, -1 the text is no address of that family.
int PlatAddrBytes(const char *szText, int bIPv6, unsigned char *pOut);

// 1 when the two numeric address texts name the same address (an
// IPv4-mapped IPv6 text equals its IPv4 text); 0 when they differ or one
// is no numeric address.
int PlatSameAddress(const char *szA, const char *szB);

// Waits at most nTimeoutMs until socket a or b is readable (or closed).
// Returns 1 when a is, 2 when only b is, 0 on time-out, -1 on failure.
// An interrupted wait is repeated with the time that is left.
int PlatWaitEither(PlatSocket a, PlatSocket b, int nTimeoutMs);

// Waits at most nTimeoutMs until one of the n sockets (at most 8) is
// readable (or closed); sockets that are kPlatNoSocket are skipped.
// Returns 1 with bit i of *pnReady set for each ready socket i, 0 on
// time-out, -1 on failure.  An interrupted wait is repeated with the time
// that is left.
int PlatWaitAny(const PlatSocket *pSocks, int n, int nTimeoutMs, unsigned *pnReady);

#endif  // PROXY_PLATFORM_PLAT_UDP_H_
