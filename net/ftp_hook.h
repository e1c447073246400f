// The FTP client that fetches ftp:// URLs for GetDispatch (ftp/ftp_client.cpp).
// It writes into the open answer file the complete answer the client is to
// receive.
#ifndef PROXY_NET_FTP_HOOK_H_
#define PROXY_NET_FTP_HOOK_H_

#include <cstdio>

struct ConnectionRecord;

int FtpClient(ConnectionRecord *pRec, FILE *pAnswer, const char *szUser, const char *szPassword,
              const char *szHost, int nPort, const char *szDirectory, const char *szCommand,
              const char *szFile);

#endif  // PROXY_NET_FTP_HOOK_H_
