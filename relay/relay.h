// The mail and FTP-control relay: TelnetDispatch opens the server side and
// relays a connection either command by command (with message inspection),
// or as a raw tunnel, or as a SOCKS data tunnel.
#ifndef PROXY_RELAY_RELAY_H_
#define PROXY_RELAY_RELAY_H_

#include "net/connection_record.h"

// Relay codes of ClientToServerSession.
constexpr int kRelayRefused = -2;    // message refused, the 552 reply already sent
constexpr int kRelaySendFail = -1;   // sending to the server failed (or the client went away)
constexpr int kRelayCommand = 0;     // an ordinary command was forwarded
constexpr int kRelayEnd = 1;         // the session-ending command was forwarded
constexpr int kRelayMessage = 2;     // a command whose reply carries a message
constexpr int kRelayFtpData = 3;     // an FTP data transfer was prepared
constexpr int kRelayAnswered = 4;    // the proxy answered the command itself, nothing forwarded
constexpr int kRelayStartTls = 9;    // the proxy itself answered STARTTLS/STLS

// Kinds of ServerToClientSession (and ClientToServerSession: 0 a command,
// 1 an SMTP message body).
constexpr int kReplyPlain = 0;       // an ordinary reply
constexpr int kReplyMessage = 1;     // a reply that carries a message
constexpr int kReplyCollect = 2;     // collect only, do not forward

// Relays one client connection of a relay mode (SMTP, POP3, IMAP4, FTP) to
// the upstream server of -S, or a SOCKS connection after its request was
// read (target in mSocksTarget; the SOCKS replies are sent here).  Closes
// the server side before it returns; the caller closes the client.
// Returns 0.
int TelnetDispatch(ConnectionRecord *pRec);

// One client step: reads one command (kind 0) or one SMTP message body
// (kind 1), inspects and forwards it.  Returns a relay code.
int ClientToServerSession(const char *szSpool, int nSvSock, int nClSock, char *pClientCommand,
                          ConnectionRecord *pRec, int nKind);

// One server step: collects one complete reply in szSpool, inspects a
// message it carries and forwards it (unless kind 2).  Returns 1 while the
// client could be written, 0 when a send to the client failed or the
// server ended without a reply.
int ServerToClientSession(const char *szSpool, int nSvSock, int nClSock, char *pServerReply,
                          ConnectionRecord *pRec, int nKind);

// Finishes the backup copies of an SMTP message: accepted renames ".$ML"
// to ".EML" and ".$CP" to ".RCP", otherwise both pairs are deleted.
void Backup_Mail(int nClSock, const char *szMailId, int bAccepted);

// Rewrites a POP3 or IMAP reply file in place into the virus alert mail
// (pWork: a caller's buffer of kRecvChunk + 1 bytes).
void MakeMail(const char *szFile, char *pWork, const char *szVirus, int nProtocol);

// Protocol of the connection for every relay test: the instance mode in
// the relay modes, else the SOCKS class of the connection.
int RelayProtocol(const ConnectionRecord *pRec);
inline bool RelayIs(const ConnectionRecord *pRec, int nProto) {
  return RelayProtocol(pRec) == nProto;
}

#endif  // PROXY_RELAY_RELAY_H_
