// The data channel of the FTP proxy: one thread per announced data
// connection (FTPDataMain) listens on the proxy's data port, accepts the one
// peer that connects, connects to the other peer, and relays the transfer
// store-and-forward: received whole into a spool file, scanned for viruses,
// replaced from or copied into the FTP cache, then sent on.  The control
// relay and the data thread talk only through two small files in the data
// folder's "cache" subfolder:
//   request flag file "req-MODE-SVSOCK.flg", written by the control relay:
//     line 1  direction: "1" data flow from the connected peer to the
//             accepted one, "0" the other way
//     line 2  "1" deliver the cached copy, "0" or empty otherwise
//     line 3  cache file name, or empty
//     line 4  the data port of the thread it is meant for (a thread of an
//             earlier PASV/PORT of the same connection leaves it alone)
//   status file "req-MODE-SVSOCK.lck", written by the data thread once it
//     listens (0) or failed (-1 memory/address, -2 socket, -3 bind,
//     -4 listen).
#ifndef PROXY_FTP_FTP_DATA_H_
#define PROXY_FTP_FTP_DATA_H_

#include <cstddef>

#include "core/settings.h"
#include "net/connection_record.h"

// Modes of the data thread (EndpointRecord.nListenOnce).
constexpr int kFtpDataActive = 1;   // the client gave PORT/EPRT: the server connects to the proxy
constexpr int kFtpDataPassive = 2;  // the server's PASV/EPSV reply was rewritten: the client connects

// Names of the hand-off files of the control connection whose server socket
// is nSvSock: szExt "flg" (request flag file) or "lck" (status file).
// 1 when the name fitted.
int FtpHandOffName(PathText *pOut, const char *szExt, int nSvSock);

// The SOCKS direction file of the data port nPort: "1" for an upload, "0"
// otherwise, written by the control relay at the transfer command.  1 when
// the name fitted.
int FtpSocksFlagName(PathText *pOut, int nPort);

// Waits at most nWaitMs for the direction of the transfer on data port
// nPort and returns its character ('0', '1'), or -1 when none came in time.
// Two readers need it, the data thread and the relay's SOCKS data tunnel,
// and each deletes the file at its end: the direction that one of them has
// read stays known to the other after the file is gone, until the next data
// thread of the port starts.
int FtpSocksDirection(int nPort, int nWaitMs);

// Starts FTPDataMain on a copy of the endpoint record (the caller may reuse
// its own at once), retrying a failed start with pauses of 100, 200, 300 ms
// ... up to the connect attempt limit (-$).  Returns 0 or the last error
// number.
int FtpStartDataThread(const EndpointRecord *pEndpoint);

// Waits at most nTimeoutMs for the status file, reads its number into
// *pnStatus and deletes it.  1 read; 0 no (readable) file in time.
int FtpWaitStatus(const char *szLockFn, int nTimeoutMs, int *pnStatus);

// For the control relay, holding a final (not 1xx) server reply with code
// nCode of the control connection whose request flag file is szFlagFn.  A
// completion reply (226, 250) waits for the end of a transfer that is
// running or announced (its flag file waits for the data thread), at most
// nWaitMs, and reads its outcome; any other final reply drops the
// outcome of a transfer it refused.  Returns 0 when the transfer was
// withheld (the client must not be told it completed), 1 otherwise (no
// transfer, completed, or still running after nWaitMs).
int FtpTransferOutcome(const char *szFlagFn, int nCode, int nWaitMs);

// Thread entry: pArg is a heap copy of the endpoint record made by
// FtpStartDataThread; the thread frees it.
void FTPDataMain(void *pArg);

// Writes the status file (only when nListenOnce > 0) and logs
// "[FTPDataStartupFlag] success.".
void FTPDataStartupFlag(const EndpointRecord *pEndpoint, int nStatus);

// Parses the text of a request flag file.  1 with the values (a missing or
// empty second line reads 0, a missing third line an empty name, a missing
// fourth line port 0: any thread); 0 when the first line is not "0" or "1"
// or the name does not fit.
int ParseFlagFile(const char *szText, int *pnDirection, int *pnCacheUse, char *pCacheFn, std::size_t nCacheFnSize,
                  int *pnPort);

// Connects the other peer, reads the request flag file and runs one of the
// two relays.  pData is the data connection's record (nSock: the accepted
// socket).  Returns 1 when a transfer ran, 0 otherwise.
int FTPDataDispatch(ConnectionRecord *pData, EndpointRecord *pEndpoint);

// The two store-and-forward relays: receive everything from nFrom into the
// spool file, scan it, apply the cache, send it to nTo.  pBuf holds at least
// kRecvChunk + 1 bytes.  Both return 1, 0 after a failed send, or -1 when
// the transfer was withheld (nothing sent): its spool file did not take it
// all, or no verdict came while inspection is mandatory (-I).
int ClientToServerDataSession(const char *szSpool, int nFrom, int nTo, char *pBuf, ConnectionRecord *pData,
                              int nCacheUse, const char *szCacheFn);
int ServerToClientDataSession(const char *szSpool, int nFrom, int nTo, char *pBuf, ConnectionRecord *pData,
                              int nCacheUse, const char *szCacheFn);

#endif  // PROXY_FTP_FTP_DATA_H_
