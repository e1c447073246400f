// Receiving a whole client message against one deadline.
//
// A header, a command line or a SOCKS message must be complete within one
// time-out period from the moment the proxy starts waiting for it, however
// its bytes trickle in: a client that sends a byte now and then would
// otherwise hold its connection thread for ever, since each single receive
// finishes well within its wait.  A message body may take longer, but it
// must keep up an average rate: every kBodyCreditBytes received move the
// end on by one period.
#ifndef PROXY_NET_CLIENT_RECV_H_
#define PROXY_NET_CLIENT_RECV_H_

#include <cstddef>
#include <cstdint>

// Body bytes that earn one more time-out period.
constexpr std::size_t kBodyCreditBytes = 1024;

struct ClientDeadline {
  int64_t nEndMs;  // steady clock (PlatSteadyMs)
  int nPeriodMs;   // the time-out the message is bounded by
};

// Starts the bound of one message: nPeriodMs from now (<= 0: the platform's
// default wait, as the receive itself uses then).
void ClientDeadlineStart(ClientDeadline *pD, int nPeriodMs);

// Credits nBytes of message body: the end moves on by nPeriodMs for every
// kBodyCreditBytes (in proportion).
void ClientDeadlineCredit(ClientDeadline *pD, std::size_t nBytes);

// Receives from the client through the TLS receive wrapper (pSSL null:
// plain), waiting at most one period for the next bytes and never past the
// end.  >0 bytes, 0 the client closed, -1 error or time-out (PlatLastError()
// is ETIMEDOUT once the end has passed, also while bytes keep coming).
int ClientRecv(int nSock, void *pSSL, char *pBuf, int nSize, const ClientDeadline *pD);

#endif  // PROXY_NET_CLIENT_RECV_H_
