// Points where the FTP-control specifics join the command relay.  They are
// called only when the instance mode is FTP or the connection's protocol is
// FTP (SOCKS).  The relay itself handles the reply sequencing (150/125,
// 226, "200 " log), the "425" replacement after a failed data connection
// (ftpDataOk 0) and the removal of the hand-off files at the end.
#ifndef PROXY_RELAY_FTP_HOOKS_H_
#define PROXY_RELAY_FTP_HOOKS_H_

#include "net/connection_record.h"

// After one client command was read into szSpool (the whole command line as
// the client sent it, with its line end) and before it is forwarded.  May
// rewrite szSpool (PORT/EPRT/PASV/EPSV, RETR served from the cache...),
// write the request flag file and track USER/CWD/CDUP.  Returns 0; 1 when
// the proxy answered the command itself and nothing is to be forwarded (a
// PORT/EPRT naming another host than the client, or a command holding CR,
// LF or NUL); -1 to end the relay.
int FtpClientCommand(ConnectionRecord *pRec, const char *szSpool, int nSvSock);

// While forwarding, before the line szLine is sent to the server, when
// ftpPortPending is set: starts the data channel.  Returns 3 when a data
// channel was prepared (the relay code), else 0.
int FtpBeforeForward(ConnectionRecord *pRec, const char *szLine, int nSvSock);

// After one server reply was collected into szSpool and before it is
// forwarded to the client: the passive-reply rewriting (227/229) and the
// data channel start.  May rewrite szSpool.  Returns 0.
int FtpServerReply(ConnectionRecord *pRec, const char *szSpool, int nSvSock, int nClSock);

#endif  // PROXY_RELAY_FTP_HOOKS_H_
