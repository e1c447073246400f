// SOCKS 5 UDP ASSOCIATE: one datagram from the client to its destination
// and one answer back.
#ifndef PROXY_SOCKS_SOCKS_UDP_H_
#define PROXY_SOCKS_SOCKS_UDP_H_

#include <cstdint>

#include "net/connection_record.h"
#include "platform/plat_socket.h"

// Serves a UDP ASSOCIATE request on the connection thread.  pEp holds the
// client socket (nSock), mIP = mLocalIP, mSvIP = mClientIP and the relay
// port nPort; it is copied first.  Opens the relay socket on mLocalIP and
// nPort, announces it (or the connect table's MyAddr for mIP) in the reply,
// takes one datagram from the client's address (waiting at most the client
// time-out, 300 s when none), passes it on with TellRemoteUDP and returns
// the answer to the client.  A relay socket that cannot be opened gets the
// failure reply (code 1).  Returns 0.
int UDPMain(const EndpointRecord *pEp, ConnectionRecord *pRec);

// The lasting association of -Y=1 (RFC 1928 section 7), on the relay
// socket sRelay that UDPMain opened and announced: any number of datagrams
// from the client's address (its port is fixed by the first one), each
// checked against the black and white lists and sent from one outbound
// socket per address family; answers from every destination the client has
// sent to (the last kSocksUdpPeers of them) go back behind a SOCKS UDP
// header that names the destination they came from.  Ends when the TCP
// connection ep.nSock closes, or after the client time-out (300 s when
// none) without a datagram either way.  The caller closes sRelay.
// Returns 0.
int UDPLastingMain(const EndpointRecord &ep, ConnectionRecord *pRec, PlatSocket sRelay);

// Sends the payload of a client datagram (SOCKS UDP header first) to its
// destination from a fresh socket on szLocal and a port of GetDataPort,
// after the black and white lists, and waits for one answer.  nFamily is
// kFamilyIPv4 or kFamilyIPv6.  Returns 1 when an answer was received: pAnswer
// holds the client's header and the answer (at most kSocksUdpBuf bytes in
// all) and *pnAnswerLen its length; 0 otherwise (fragment, bad header,
// black-listed, unresolvable, no answer within the client time-out).
int TellRemoteUDP(uint32_t nFamily, const char *szLocal, const char *pData, int nLen, char *pAnswer,
                  int *pnAnswerLen);

// A datagram socket of the family bound to host and port (resolved with
// SetAddr, whose result is left in *pAddr).  Returns the socket or -1;
// failures print "[UDPHost] socket() failed Error" or "[UDPHost]
// WSAGetLastError() = %d" on the console.
int UDPHost(uint32_t nFamily, const char *szHost, int nPort, PlatSockAddr *pAddr);

// Resolves host and port for datagram sockets of the family (asking for the
// canonical name, then once more as a numeric host).  Logs
// "[SetAddr] getaddrinfo(%s, %d)".  1 found, 0 not.
int SetAddr(uint32_t nFamily, PlatSockAddr *pAddr, const char *szHost, int nPort);

#endif  // PROXY_SOCKS_SOCKS_UDP_H_
