// The TLS layer: OpenSSL behind plain handles, and the send and receive
// wrappers through which every client and server exchange goes.
//
// A TLS side of a connection is a pair of handles: the session (nullptr for
// a plain connection) and its context.  The wrappers take the socket and the
// session; a null session means the plain socket.  A session is used by one
// thread at a time.
#ifndef PROXY_PLATFORM_PLAT_TLS_H_
#define PROXY_PLATFORM_PLAT_TLS_H_

// Initialises the TLS library and loads its error strings.  Called once on
// the main thread before the listener starts.  1 done, -1 failure.
int PlatTlsInit();

// Frees the library's error strings; called once after the listener ended.
void PlatTlsCleanup();

// Server-side handshake on an accepted client socket with the PEM private
// key and certificate (the certificate file is also loaded as the chain).
// Blocks for the handshake; the socket's own receive and send time-outs
// bound each wait, and with nWithinMs > 0 the whole handshake must end
// within that many milliseconds (a client that sends a byte now and then
// cannot hold it open).  Returns the session and stores its context in
// *ppCtx, or nullptr (everything freed, *ppCtx untouched).  Logs as
// "[OpenSSLServer]".
void *OpenSSLServer(void **ppCtx, int nSock, const char *szCertFile, const char *szKeyFile, int nWithinMs = 0);

// Client-side handshake on a connected server socket.  szServerName is the
// server's host name or numeric address: a name is sent as SNI.  With
// bVerify the certificate must chain to a trusted CA (the system's store,
// or the file and folder that the SSL_CERT_FILE and SSL_CERT_DIR
// environment variables name) and be issued for szServerName (a DNS name,
// or an IP address entry for a numeric address); bVerify 0 accepts any
// certificate.  Returns the session (context in *ppCtx) or nullptr
// (everything freed; a refused certificate is logged with its reason).
// Logs as "[OpenSSLClient]".
void *OpenSSLClient(void **ppCtx, int nSock, const char *szServerName, int bVerify);

// Shuts the session down and frees it and its context.  Null is ignored.
void PlatTlsRelease(void *pSSL);

// Sends the text up to its first NUL through the session (or the plain
// socket when pSSL is null).  Returns the bytes sent or -1.
int SslSend(int nSock, void *pSSL, const char *szText);

// Sends exactly nLen bytes (binary data, NULs included).  Returns nLen or -1.
int SslSendBytes(int nSock, void *pSSL, const void *pData, int nLen);

// Ends the sending direction only: with a session its close_notify alert
// goes out first (RFC 8446 6.1; receiving goes on), then the socket is
// shut down for sending.
void SslShutdownSend(int nSock, void *pSSL);

// Receives at most nSize bytes.  When nothing is buffered it first waits at
// most nTimeoutMs (<= 0: 300 s) until the socket is readable.
// Returns >0 bytes; 0 the peer closed (and, with a session, any TLS read
// error); -1 error or time-out.
int SslRecv(int nSock, void *pSSL, char *pBuf, int nSize, int nTimeoutMs);

#endif  // PROXY_PLATFORM_PLAT_TLS_H_
