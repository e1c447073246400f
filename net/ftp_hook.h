// The FTP client that fetches ftp:// URLs for GetDispatch (ftp/ftp_client.cpp).
// It writes into the open answer file the complete answer the client is to
// receive.
#ifndef PROXY_NET_FTP_HOOK_H_
#define PROXY_NET_FTP_HOOK_H_

#include <cstdio>

struct ConnectionRecord;

// Results of FtpClient.
enum FtpClientResult {
  kFtpDone = 0,             // ran to QUIT (a refusal's reply line is the answer)
  kFtpNotConnected = -1,    // host not resolved or not connected
  kFtpNoSocket = -2,        // no socket, or the active data socket not bound
  kFtpNoListen = -3,        // the active data socket could not listen
  kFtpNoLocalAddress = -4,  // the control connection's local address unknown
  kFtpNoDataPort = -5,      // the active data socket's port unknown
};

int FtpClient(ConnectionRecord *pRec, FILE *pAnswer, const char *szUser, const char *szPassword,
              const char *szHost, int nPort, const char *szDirectory, const char *szCommand,
              const char *szFile);

#endif  // PROXY_NET_FTP_HOOK_H_
