// STARTTLS mediation of the SMTP and POP3 relay: the proxy can offer
// STARTTLS/STLS to the client and end that TLS itself, and upgrade its own
// server connection, each side on its own.  The steps run inside the relay
// steps; tlsPhase only moves forward through the states of TlsPhase.
#ifndef PROXY_RELAY_STARTTLS_H_
#define PROXY_RELAY_STARTTLS_H_

#include "net/connection_record.h"

// The states of tlsPhase, in the order they are passed.
enum TlsPhase : int32_t {
  kTlsNothingYet = 0,    // nothing yet
  kTlsEhloForwarded = 1, // an EHLO was forwarded, its reply is to be rewritten
  kTlsOffered = 2,       // STARTTLS was advertised to the client
  kTlsClientAsked = 3,   // the client's STARTTLS was forwarded (or a HELO was upgraded)
  kTlsReplyRelayed = 4,  // the reply to it was relayed
  kTlsServerUpgrade = 5, // the proxy is about to send its own STARTTLS/STLS to the server
  kTlsServerDone = 6,    // done with the server
  kTlsHandlesMoved = 7,  // done, the server session is the one released at the end
};

// After a client command was read into szSpool, before it is forwarded.
// Returns 9 when the proxy answered the client's STARTTLS/STLS itself,
// -1 when the server connection failed, else 0 (forward as usual; the
// spool may have been rewritten).
int StartTlsClientStep(ConnectionRecord *pRec, const char *szSpool, int nSvSock, int nClSock);

// After each ClientToServerSession that did not return 9: phase
// bookkeeping from the command just handled (szCommand, with line end).
void StartTlsAfterCommand(ConnectionRecord *pRec, const char *szCommand);

// Before each client command is read: the client-side TLS switch when the
// client's STARTTLS was answered with success.  Returns 0 when the client
// handshake failed (the relay ends), else 1.
int StartTlsBeforeCommand(ConnectionRecord *pRec, int nSvSock, int nClSock);

// After a server reply was collected into szSpool while tlsPhase is
// kTlsEhloForwarded, kTlsOffered or kTlsClientAsked: the EHLO and STARTTLS
// reply rewriting.
void StartTlsRewriteReply(ConnectionRecord *pRec, const char *szSpool, int nSvSock);

// 1 while the proxy offers TLS to the client: a certificate is configured,
// the client is not in TLS yet and has not asked, and the offer is not over
// (POP3: the client has not logged in; SMTP: the server was not upgraded on
// the proxy's own account).  The EHLO and CAPA replies list STARTTLS/STLS
// exactly then.
int ClientTlsOffered(const ConnectionRecord *pRec);

// Pure line rules of the rewriting, for the relay and its tests.
// EHLO reply (kTlsOffered): rewrites one line into pOut; *pbOffered tracks
// whether the server offered STARTTLS.  Returns the output length.
int RewriteEhloLine(const char *szLine, int *pbOffered, char *pOut, int nOut);

#endif  // PROXY_RELAY_STARTTLS_H_
