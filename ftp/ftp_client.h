// The FTP client that fetches ftp:// URLs for the HTTP proxy: log in,
// change to the directory (again in code page 932 when the server refuses
// the UTF-8 name), passive mode with a fall-back to active mode, one data
// thread that writes the file or listing into the answer file, completion
// reply, QUIT.
#ifndef PROXY_FTP_FTP_CLIENT_H_
#define PROXY_FTP_FTP_CLIENT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "base/limits.h"
#include "net/ftp_hook.h"
#include "platform/plat_socket.h"

// Percent decoding of a URL path: "%" and two hexadecimal digits (either
// case) become that byte, a "%" without two digits is dropped, everything
// else is copied.  The result is cut to nOutSize-1 bytes and NUL-terminated.
// Returns 1 when all of it fitted, 0 when it was cut, -1 (pOut empty) when
// it holds CR, LF or NUL: a path must never end an FTP command early.
int FtpPercentDecode(const char *szIn, char *pOut, std::size_t nOutSize);

// 1 when the percent-decoded text holds no CR, LF or NUL, else 0.  Such a
// byte in a user, password, folder or file name would end the FTP command
// it is sent in and start another (RFC 959: CR LF ends a command).
int FtpUrlPartSafe(const char *szPart);

// Data address of a "227 " reply: the text inside the parentheses is
// h1,h2,h3,h4,p1,p2.  Fills the dotted address and the port (p1*256+p2).
// 1 done; 0 malformed (a number above 255, fewer than six numbers).
int ParsePasvReply(const char *szReply, char *pAddr, std::size_t nAddrSize, int *pnPort);

// Data address of a "229 " reply: "(" d address d port d ")" with any
// delimiter d ("|" in practice).  The address may be empty (the server's
// own).  1 done; 0 malformed.
int ParseEpsvReply(const char *szReply, char *pAddr, std::size_t nAddrSize, int *pnPort);
// The address and port fields of an extended address, "proto<d>addr<d>port<d>"
// with pFields at the protocol (RFC 2428): the address (possibly empty,
// cut nowhere: one that does not fit fails) into pAddr, the port (1-65535)
// into *pnPort.  1 taken, 0 malformed.
int SplitExtendedAddress(const char *pFields, char d, char *pAddr, std::size_t nAddrSize, int *pnPort);

// The control connection: a socket and the bytes read from it but not yet
// consumed, so replies are read line by line without a system call per byte.
struct FtpControl {
  PlatSocket s;
  int nTimeoutMs;                 // one receive waits at most this (<= 0: platform default)
  int nHave;                      // bytes held in mBuf
  int bSkipping;                  // dropping the rest of an over-long line
  char mOpenCode[4];              // code of a multi-line reply still being read, or ""
  char mBuf[kRecvChunk];
};

// Prepares the reader for a connected socket.
void FtpControlInit(FtpControl *pCtl, PlatSocket s, int nTimeoutMs);

// Reads one line through "\n" (cut to nSize-1 bytes) into pLine.
// 1 a line; 0 the server closed (nothing left); -1 receive error or time-out
// (the bytes read so far stay for the next call).
int FtpReadLine(FtpControl *pCtl, char *pLine, std::size_t nSize);

// Reads one complete reply and keeps its last line in pReply.  A reply whose
// first line is "ddd-" goes on to the line that begins "ddd " (the same code
// and a blank); any other first line is the whole reply.  Each line read is
// logged as "[FtpClient] [%04d] %s" (nLogStyle 0) or "[FtpClient] [%04d]
// %s\n" (1: completion and QUIT replies).  1 complete; 0 closed; -1 error,
// time-out (a later call continues the same reply) or a reply longer than
// kFtpReplyMax.
int FtpReadReply(FtpControl *pCtl, char *pReply, std::size_t nSize, int nLogStyle);

// Parameter block shared by FtpClient and its data thread.  The thread owns
// the sockets; the control side only shuts them down (under the lock) to
// cut a wait short, and never returns before bDone is set.
struct FtpDataBlock {
  std::atomic<int> bDone{0};       // the data thread has finished
  std::atomic<int> bConnected{0};  // the data connection exists
  std::atomic<int> bCancel{0};     // the control side gave up on the transfer
  std::mutex lock;                 // guards sListen and sData
  PlatSocket sListen = kPlatNoSocket;  // active mode: the waiting data socket
  PlatSocket sData = kPlatNoSocket;    // the data connection
  FILE *pOut = nullptr;            // answer file, written only by the data thread
  int bIPv4 = 1;
  PlatSockAddr addr{};             // passive mode: the server's data address
  int nSendTmoMs = 0;              // "Timeout Client(Plain)"
  int nRecvTmoMs = 0;              // "Timeout Server(Plain)"
  uint64_t nBytes = 0;             // bytes written to pOut
  int bWriteFailed = 0;            // the answer file refused a write
};

// Data thread entries (argument: FtpDataBlock*).  Both set bDone at the end.
// Return kFtpDataDone, or kFtpDataNotConnected (FtpDataByPASV) /
// kFtpDataNotAccepted (FtpDataByPORT).
enum FtpDataResult { kFtpDataDone = 0, kFtpDataNotConnected = -1, kFtpDataNotAccepted = -6 };
int FtpDataByPASV(FtpDataBlock *pBlock);
int FtpDataByPORT(FtpDataBlock *pBlock);

// FtpClient (declared in net/ftp_hook.h): fetches szDirectory + szFile
// (RETR) or lists szDirectory (LIST) into pAnswer.  Returns one of
// FtpClientResult (net/ftp_hook.h).  It returns only after its data thread
// has finished.

#endif  // PROXY_FTP_FTP_CLIENT_H_
