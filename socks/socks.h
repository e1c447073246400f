// The SOCKS 4, 4a and 5 negotiation of a client connection and the replies
// the proxy sends for it (also those the relay sends after its connect).
#ifndef PROXY_SOCKS_SOCKS_H_
#define PROXY_SOCKS_SOCKS_H_

#include <cstddef>

#include "net/connection_record.h"

// How the connection goes on after SocksNegotiate.
enum SocksNext {
  kSocksNextEnd = 0,    // finished (refused, closed, or BIND / UDP served)
  kSocksNextHttp = 1,   // served by the HTTP request loop (SocksHttpStart first)
  kSocksNextRelay = 2,  // handed to the relay (TelnetDispatch)
};

// Runs the negotiation on a new client connection in SOCKS mode: the fixed
// forward of the connect table (bConnTable set, nothing read), or greeting,
// method choice, username/password, request; fills the nSocks* fields,
// mSocksHost, mSocksTarget, nRelayProto, nEffProto and bPassThrough, keeps
// the raw request in mRecv, and serves BIND and UDP ASSOCIATE itself.
// Every receive waits at most the client time-out (300 s when none).
// Returns a SocksNext value.
int SocksNegotiate(ConnectionRecord *pRec);

// Start of the HTTP handling of a SOCKS connection: clears the reply,
// builds it with SOCKS45Res1 and, for CONNECT, sends the success reply
// before any server is connected.  1 go on with HTTP requests, 0 end (the
// failure reply was sent).
int SocksHttpStart(ConnectionRecord *pRec);

// Builds the reply header in mSocksReply for the client's version from the
// request kept in mRecv and sets nSocksState (4 or 5).  REQUIRES: mRecv
// still holds the request the negotiation read.  Returns 1 for CONNECT
// (nothing sent yet); for any other command sends the failure reply (91, or
// 1 for SOCKS 5), logs "[SOCKS45Res1] socks fail." and returns 0.
int SOCKS45Res1(ConnectionRecord *pRec);

// Sends the success reply (90, or 0 for SOCKS 5) with the header that
// SOCKS45Res1 built.  1 sent, -1 failed.
int SOCKS45Res2(ConnectionRecord *pRec);

// Sends the relay's refusal reply in the client's version: for a black-
// listed target (bBlackList 1) code 91 / 2, for a failed server connect
// code 92 / 1; address and port bytes are zero (SOCKS 5: type 1, ten
// bytes).  The reply is dumped first.  1 sent, -1 failed.
int SocksSendRefusal(ConnectionRecord *pRec, int bBlackList);

// Writes a hex dump of the bytes to the debug log: "[BinaryDump] [%04d]",
// then per 16 bytes two blanks and "%02x " per byte; cut at 1,000
// characters.
void BinaryDump(int nSock, const void *pData, std::size_t nLen);

#endif  // PROXY_SOCKS_SOCKS_H_
