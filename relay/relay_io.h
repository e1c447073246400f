// Helpers shared by the relay steps: the receive and send wrappers of each
// side (TLS session or plain socket, with the -T time-outs), the mail
// envelope and backup file names, and small file chores.
#ifndef PROXY_RELAY_RELAY_IO_H_
#define PROXY_RELAY_RELAY_IO_H_

#include <cstddef>
#include <cstdio>

#include "base/fixed_text.h"
#include "core/settings.h"
#include "net/client_recv.h"
#include "net/connection_record.h"

// Receives from the client (nClSock with the record's client session, never
// past the deadline of the message being read, net/client_recv.h) or
// the server (nSvSock with the relay's server session).  >0 bytes, 0 closed,
// -1 error or time-out.
int RelayRecvClient(ConnectionRecord *pRec, int nClSock, char *pBuf, int nSize, const ClientDeadline *pD);
int RelayRecvServer(ConnectionRecord *pRec, int nSvSock, char *pBuf, int nSize);
// Sends n bytes (NULs included).  n or -1.
int RelaySendClient(ConnectionRecord *pRec, int nClSock, const char *p, std::size_t n);
int RelaySendServer(ConnectionRecord *pRec, int nSvSock, const char *p, std::size_t n);

// The relay's TLS towards the server (implicit, or after the server
// accepted STARTTLS): handshake on nSvSock with the server's name
// (mSvName) and its certificate checked unless the entry says "!".  On
// success the session is the record's server side and 1 is returned; on
// failure the client gets the protocol's closing reply, the failure is
// logged, and 0 is returned (the relay ends).
int RelayServerTls(ConnectionRecord *pRec, int nSvSock, int nClSock);

// The closing reply of protocol nProto (kProtoSmtp ...) when the server's
// TLS fails: SMTP and FTP "421 ...", POP3 "-ERR ...", IMAP4 "* BYE ...".
const char *ServerTlsFailureReply(int nProto);

// Backup folder file of a mail: backup folder (a "/" added when it has
// none) + first 8 characters of the identifier + "/" + identifier + szExt.
// 1 when the name fitted.
int MailBackupPath(PathText *pOut, const char *szMailId, const char *szExt);
// The envelope copy in the data folder's cache: "<data>cache/<id>.$CP".
int MailCachePath(PathText *pOut, const char *szMailId);
// Deletes both envelope copies of the current mail.
void DeleteEnvelopes(const ConnectionRecord *pRec);
// Appends a text line to both envelope copies, where they exist (bCreate:
// create them; the backup copy only with -B, the cache copy only with the
// connection's compression flag).
void AppendEnvelopes(const ConnectionRecord *pRec, const char *szText, int bCreate);

// The proxy answers the client itself (nothing reaches the server): sends
// szText, logs it for szTag, and keeps it as the last reply the client got
// (serverReply), which the relay's later decisions read.  Bytes sent or -1.
int AnswerClient(ConnectionRecord *pRec, int nClSock, const char *szText, const char *szTag);

// Why the proxy refuses a message or transfer it cannot pass on whole.
constexpr int kRefuseStorage = 1;    // its spool file did not take it all
constexpr int kRefuseNoVerdict = 0;  // inspection mandatory, no verdict

// The line that refuses it in the protocol of the relay: SMTP 452 / 451
// (the sender retries later), POP3 -ERR, IMAP the tagged NO of the
// command, FTP 451.  Written to pOut (nOut bytes).
void RelayRefusalLine(const ConnectionRecord *pRec, int nWhy, char *pOut, std::size_t nOut);

// Reads one server reply of the protocol and throws it away (the replies to
// the proxy's own commands).  1 a complete reply, 0 closed/failed.  The
// code of its last line goes to *pnCode when given.
int DropServerReply(ConnectionRecord *pRec, int nSvSock, int *pnCode);

// Creates or empties a file.  1 done, -1 failure.
int TruncateFile(const char *szPath);

// Sends a file's lines to the client one by one, logging each send with
// szTag.  1 all sent, 0 a send failed.
int SendFileLines(ConnectionRecord *pRec, int nClSock, const char *szPath, const char *szTag);

// Copies the first bytes of a file (at most nSize-1) into pBuf and
// terminates it.
void ReadFileHead(const char *szPath, char *pBuf, std::size_t nSize);

#endif  // PROXY_RELAY_RELAY_IO_H_
