// The FTP specifics of the command relay (the hooks of relay/ftp_hooks.h):
// user and directory tracking, PORT/EPRT and PASV/EPSV rewriting so that
// every data connection runs through the proxy (with IPv4 <-> IPv6
// conversion when -Q is off and the two sides differ), the FTP download
// cache, and the hand-off files that tell each data thread what to do.
// The text helpers below are the parts of it that depend on nothing else.
#ifndef PROXY_RELAY_FTP_CONTROL_H_
#define PROXY_RELAY_FTP_CONTROL_H_

#include <cstddef>

#include "base/fixed_text.h"
#include "relay/ftp_hooks.h"

using FtpDirText = FixedText<256>;

// CWD: an argument beginning "/" replaces the directory; ".." removes its
// last "/" component; anything else is appended after a "/" (none when the
// directory is empty or already ends in one) while the directory is shorter
// than 254 characters.  The argument ends at its line end; the result keeps
// at most 255 characters and loses a trailing "/" unless that is all of it.
void FtpTrackCwd(FtpDirText *pDir, const char *szArg);

// CDUP: removes the last "/" and everything behind it.
void FtpTrackCdup(FtpDirText *pDir);

// FTP cache key: "ftp,USER,LOCALIP,LOCALPORT," + directory + "/" + the
// RETR argument with its line end.  Returns 1 with the key in pOut (at most
// nOutSize-1 = 1,023 characters); 0 when it would have been cut or lost its
// file name (no caching then: such a key could name another file's copy).
int BuildFtpCacheKey(const char *szUser, const char *szLocalIP, int nLocalPort, const char *szDir,
                     const char *szRetrArg, char *pOut, std::size_t nOutSize);

// Which side's data connection a transfer command opens.
enum FtpTransferKind { kFtpNoTransfer = 0, kFtpDownload = 1, kFtpUpload = 2 };
// RETR, LIST, NLST, MLSD download; STOR, STOU, APPE upload; any other
// command opens no data connection.  szLine is the command line.
int FtpTransferKindOf(const char *szLine);

// The client's PORT argument "h1,h2,h3,h4,p1,p2" (line end allowed):
// the dotted address and the port.  1 done, 0 malformed.
int ParsePortArgument(const char *szArg, char *pAddr, std::size_t nAddrSize, int *pnPort);

// The client's EPRT argument "dPROTOdADDRdPORTd": protocol number, address
// and port.  1 done, 0 malformed.
int ParseEprtArgument(const char *szArg, int *pnProto, char *pAddr, std::size_t nAddrSize, int *pnPort);

// "a,b,c,d,hi,lo" for a dotted IPv4 address and a port: the argument of
// PORT and the text of a 227 reply (dots turned into commas).
void FtpCommaAddress(const char *szAddr, int nPort, char *pOut, std::size_t nOutSize);

// The server's passive reply: the data address and port in the text between
// "(" and ")".  Classic form "h1,h2,h3,h4,p1,p2" (*pbExtended 0, address
// filled); extended form with "|" (*pbExtended 1, address left empty: the
// data connection goes to the server of the control connection).
// 1 done, 0 malformed.
int ParsePassiveReply(const char *szLine, int *pbExtended, char *pAddr, std::size_t nAddrSize, int *pnPort);

// Rewrites a 227/229 reply line so the client connects to the proxy at
// szAnnounce (the connect table's global address or the proxy's own) and
// nPort.  bExtended: the server's form; bClientIPv4 / bServerIPv4: the
// families of the two sides; bRaw: -Q on (no form conversion).  The text
// from "(" on is replaced; the code becomes 227 or 229 when the form
// changes.  An extended reply names no address ("(|||port|)"): the client
// uses the one it reached the proxy at.  Returns 1, 0 when it did not fit.
int RewritePassiveReply(const char *szLine, int bExtended, const char *szAnnounce, const char *szLocalIP,
                        int nPort, int bClientIPv4, int bServerIPv4, int bRaw, char *pOut, std::size_t nOutSize);

// A client command as received (nLen bytes, NULs included) may be sent to
// the server: no NUL, no CR or LF except its closing CR LF or LF.
// 1 safe, 0 not.
int FtpCommandLineSafe(const char *pLine, std::size_t nLen);

#endif  // PROXY_RELAY_FTP_CONTROL_H_
