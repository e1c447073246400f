// Socket work of the HTTP handlers (and the SOCKS tunnels): every byte to or from the client goes
// through the TLS wrappers (a plain connection has a null session); the
// server side is plain.  All sends send the whole buffer or fail.
#ifndef PROXY_NET_HTTP_IO_H_
#define PROXY_NET_HTTP_IO_H_

#include <cstddef>
#include <cstdio>

struct ConnectionRecord;

// Client side through the TLS wrappers (pSSL null: plain).  Sends return
// the byte count (all of them) or -1; receives >0 bytes (at most nSize),
// 0 closed, -1 error or time-out.
int HttpSendClientSock(int nSock, void *pSSL, const void *pData, std::size_t nLen);
int HttpRecvClientSock(int nSock, void *pSSL, char *pBuf, std::size_t nSize);
// The same for the record's client.
int HttpSendClient(ConnectionRecord *pRec, const void *pData, std::size_t nLen);
int HttpRecvClient(ConnectionRecord *pRec, char *pBuf, std::size_t nSize);
// Server side (plain).  A receive waits at most "Timeout Server(Plain)".
int HttpSendServer(int nSvSock, const void *pData, std::size_t nLen);
int HttpRecvServer(int nSvSock, char *pBuf, std::size_t nSize);
// The request spool file for reading: its copy in memory when the
// connection thread holds the whole request, else the file (opened with
// retry).  nullptr when neither opens.  Closed with fclose.
FILE *OpenRequestFile(const ConnectionRecord *pRec);
// Lets small sends go out at once on a socket.
void HttpNoDelay(int nSock);
// 1 when the socket is readable within nTimeoutMs, else 0.
int HttpReadable(int nSock, int nTimeoutMs);
// Passes the end of one direction of a tunnel on: the client (through its
// TLS session when there is one) or the server gets no more bytes, and
// still sends.
void HttpShutdownSendClientSock(int nSock, void *pSSL);
void HttpShutdownSendServer(int nSvSock);
// Ends receiving on a socket: a receive waiting on it on another thread
// returns "closed" at once.
void HttpShutdownReceive(int nSock);
// Shuts a socket down in both directions and closes it.
void HttpCloseSocket(int nSock);
// Shuts a socket down in both directions, leaving it open: a thread still
// using it sees its calls fail, and cannot meet a reused number.
void HttpCloseSocketShutdownOnly(int nSock);
// Sends a generated answer "HTTP/1.1 <status> <reason>" with a short page
// and "Connection: close", and clears bKeepAlive: the client connection
// ends after it.  Returns the byte count or -1.
int HttpSendStatusClose(ConnectionRecord *pRec, int nStatus, const char *szReason);
// Error number of the last failed socket call.
int HttpLastError();
// A line on standard output (the console lines of the handlers).
void ConsoleF(const char *szFmt, ...) __attribute__((format(printf, 1, 2)));

#endif  // PROXY_NET_HTTP_IO_H_
