#include "platform/plat_tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>

#include <cerrno>

#include <climits>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/plat_log.h"
#include "platform/plat_socket.h"
#include "platform/plat_time.h"

namespace {

// A tunnel copies both directions of one connection on two threads, but an
// OpenSSL session must not be used by two threads at once.  Every session
// carries a lock that each read and write takes; a read never blocks while
// holding it (the socket is switched to non-blocking for the call), so a
// writer in the other direction is never held up by a peer that is silent.
int g_nLockIndex = -1;
std::once_flag g_LockIndexOnce;

int LockIndex() {
  std::call_once(g_LockIndexOnce, [] { g_nLockIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr); });
  return g_nLockIndex;
}

std::mutex *SessionLock(SSL *pSsl) { return static_cast<std::mutex *>(SSL_get_ex_data(pSsl, LockIndex())); }

// Gives a session its lock; 0 when there is no memory for one.
int AttachLock(SSL *pSsl) {
  std::mutex *pLock = new (std::nothrow) std::mutex;
  if (!pLock) return 0;
  SSL_set_ex_data(pSsl, LockIndex(), pLock);
  return 1;
}

void FreeLock(SSL *pSsl) {
  delete SessionLock(pSsl);
  SSL_set_ex_data(pSsl, LockIndex(), nullptr);
}

// Frees a session that failed its handshake: its context first (the
// session holds its own reference), then the session.
void DropSession(SSL_CTX *pCtx, SSL *pSsl) {
  SSL_CTX_free(pCtx);
  SSL_shutdown(pSsl);
  SSL_free(pSsl);
}

// Holds a session's lock; sessions made elsewhere (none today) have none.
class SessionGuard {
 public:
  explicit SessionGuard(SSL *pSsl) : m_pLock(SessionLock(pSsl)) {
    if (m_pLock) m_pLock->lock();
  }
  ~SessionGuard() {
    if (m_pLock) m_pLock->unlock();
  }
  SessionGuard(const SessionGuard &) = delete;
  SessionGuard &operator=(const SessionGuard &) = delete;

 private:
  std::mutex *m_pLock;
};

constexpr int kReadIncomplete = -2;  // part of a record only: wait and try again

// One read attempt under the session lock that never blocks.  >0 bytes,
// 0 closed or TLS error, kReadIncomplete.
int ReadOnce(SSL *pSsl, int nSock, char *pBuf, int nSize) {
  SessionGuard guard(pSsl);
  int nFlags = fcntl(nSock, F_GETFL);
  if (nFlags >= 0) fcntl(nSock, F_SETFL, nFlags | O_NONBLOCK);
  int n = SSL_read(pSsl, pBuf, nSize);
  int nErr = n > 0 ? SSL_ERROR_NONE : SSL_get_error(pSsl, n);
  if (nFlags >= 0) fcntl(nSock, F_SETFL, nFlags);
  if (n > 0) return n;
  ERR_clear_error();
  return nErr == SSL_ERROR_WANT_READ || nErr == SSL_ERROR_WANT_WRITE ? kReadIncomplete : 0;
}

// A numeric IPv4 or IPv6 address text (checked against the certificate's
// IP address entries, and never sent as SNI, which carries names only).
bool IsNumericAddress(const char *szName) {
  unsigned char bytes[16];
  return inet_pton(AF_INET, szName, bytes) == 1 || inet_pton(AF_INET6, szName, bytes) == 1;
}

// Prepares the server name check of a new client session.  1 done, 0 the
// name cannot be checked (empty, or refused by the library).
int SetServerName(SSL *pSsl, const char *szName, int bVerify) {
  if (!*szName) return bVerify ? 0 : 1;
  bool bAddress = IsNumericAddress(szName);
  if (!bAddress && SSL_set_tlsext_host_name(pSsl, szName) != 1) return 0;
  if (!bVerify) return 1;
  SSL_set_verify(pSsl, SSL_VERIFY_PEER, nullptr);
  if (bAddress) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(pSsl), szName) == 1;
  SSL_set_hostflags(pSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return SSL_set1_host(pSsl, szName) == 1;
}

}  // namespace

int PlatTlsInit() {
  // OpenSSL 3 initialises itself on first use; asking explicitly makes a
  // broken installation show at start-up instead of at the first client.
  if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1) return -1;
  return 1;
}

void PlatTlsCleanup() {
  // Error strings are freed by OpenSSL's own exit handler in version 3;
  // clearing this thread's queue is what remains to do.
  ERR_clear_error();
}

namespace {

// SSL_accept on a socket switched to non-blocking for the call, waiting with
// poll for what the handshake needs, until it ends or nWithinMs have passed.
// Returns SSL_accept's result (1 done), or -1 when the time ran out.
int AcceptWithin(SSL *pSsl, int nSock, int nWithinMs) {
  int nFlags = fcntl(nSock, F_GETFL);
  if (nFlags < 0 || fcntl(nSock, F_SETFL, nFlags | O_NONBLOCK) < 0) return SSL_accept(pSsl);
  const int64_t nEnd = PlatSteadyMs() + nWithinMs;
  int r;
  for (;;) {
    r = SSL_accept(pSsl);
    if (r == 1) break;
    int nWant = SSL_get_error(pSsl, r);
    short nEvents = nWant == SSL_ERROR_WANT_READ ? POLLIN : nWant == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    int64_t nLeft = nEnd - PlatSteadyMs();
    if (nEvents == 0 || nLeft <= 0) {
      r = -1;
      break;
    }
    pollfd p{nSock, nEvents, 0};
    int n = poll(&p, 1, static_cast<int>(nLeft));
    if (n == 0 || (n < 0 && errno != EINTR)) {
      r = -1;
      break;
    }
  }
  fcntl(nSock, F_SETFL, nFlags);
  return r;
}

}  // namespace

void *OpenSSLServer(void **ppCtx, int nSock, const char *szCertFile, const char *szKeyFile, int nWithinMs) {
  PlatLogF("[OpenSSLServer] SOCKET=%d start\n", nSock);
  if (!szCertFile || !szKeyFile || !*szCertFile || !*szKeyFile) {
    PlatLogF("[OpenSSLServer] SOCKET=%d Certificate or Privatekey is NULL.\n", nSock);
    return nullptr;
  }
  SSL_CTX *pCtx = SSL_CTX_new(TLS_server_method());
  if (!pCtx) {
    PlatLogF("[OpenSSLServer] SOCKET=%d SSL_CTX_new() failed.\n", nSock);
    ERR_clear_error();
    return nullptr;
  }
  SSL *pSsl = SSL_new(pCtx);
  if (!pSsl) {
    PlatLogF("[OpenSSLServer] SOCKET=%d SSL_new() failed.\n", nSock);
    SSL_CTX_free(pCtx);
    ERR_clear_error();
    return nullptr;
  }
  SSL_set_fd(pSsl, nSock);
  if (!AttachLock(pSsl)) {
    PlatLogF("[OpenSSLServer] SOCKET=%d no memory for the session lock.\n", nSock);
    DropSession(pCtx, pSsl);
    return nullptr;
  }
  // Load failures surface as a failed handshake (no certificate to offer).
  SSL_use_PrivateKey_file(pSsl, szKeyFile, SSL_FILETYPE_PEM);
  SSL_use_certificate_file(pSsl, szCertFile, SSL_FILETYPE_PEM);
  SSL_CTX_use_certificate_chain_file(pCtx, szCertFile);
  if ((nWithinMs > 0 ? AcceptWithin(pSsl, nSock, nWithinMs) : SSL_accept(pSsl)) < 1) {
    PlatLogF("[OpenSSLServer] SOCKET=%d SSL_accept() failed.\n", nSock);
    ERR_clear_error();
    FreeLock(pSsl);
    DropSession(pCtx, pSsl);
    return nullptr;
  }
  PlatLogF("[OpenSSLServer] SOCKET=%d SSL_accept() success.\n", nSock);
  *ppCtx = pCtx;
  return pSsl;
}

void *OpenSSLClient(void **ppCtx, int nSock, const char *szServerName, int bVerify) {
  PlatLogF("[OpenSSLClient] SOCKET=%d start.\n", nSock);
  SSL_CTX *pCtx = SSL_CTX_new(TLS_client_method());
  if (!pCtx) {
    PlatLogF("[OpenSSLClient] SOCKET=%d SSL_CTX_new() failed.\n", nSock);
    ERR_clear_error();
    return nullptr;
  }
  // Without trusted CAs every certificate would fail: that is the outcome
  // when the store cannot be loaded, never an unchecked connection.
  if (bVerify) SSL_CTX_set_default_verify_paths(pCtx);
  SSL *pSsl = SSL_new(pCtx);
  if (!pSsl) {
    SSL_CTX_free(pCtx);
    PlatLogF("[OpenSSLClient] SOCKET=%d SSL_new() failed.\n", nSock);
    ERR_clear_error();
    return nullptr;
  }
  SSL_set_fd(pSsl, nSock);
  if (!AttachLock(pSsl)) {
    PlatLogF("[OpenSSLClient] SOCKET=%d no memory for the session lock.\n", nSock);
    DropSession(pCtx, pSsl);
    return nullptr;
  }
  if (SetServerName(pSsl, szServerName, bVerify) != 1) {
    PlatLogF("[OpenSSLClient] SOCKET=%d server name \"%s\" cannot be checked.\n", nSock, szServerName);
    FreeLock(pSsl);
    DropSession(pCtx, pSsl);
    ERR_clear_error();
    return nullptr;
  }
  if (!bVerify) PlatLogF("[OpenSSLClient] SOCKET=%d certificate of %s not checked.\n", nSock, szServerName);
  if (SSL_connect(pSsl) == 1) {
    PlatLogF("[OpenSSLClient] SOCKET=%d SSL_connect() success.\n", nSock);
    ERR_clear_error();
    *ppCtx = pCtx;
    return pSsl;
  }
  long nVerify = SSL_get_verify_result(pSsl);
  if (bVerify && nVerify != X509_V_OK)
    PlatLogF("[OpenSSLClient] SOCKET=%d certificate of %s refused: %s.\n", nSock, szServerName,
              X509_verify_cert_error_string(nVerify));
  PlatLogF("[OpenSSLClient] SOCKET=%d SSL_connect() failed.\n", nSock);
  FreeLock(pSsl);
  DropSession(pCtx, pSsl);
  ERR_clear_error();
  return nullptr;
}

void PlatTlsRelease(void *pSSL) {
  if (!pSSL) return;
  SSL *pSsl = static_cast<SSL *>(pSSL);
  SSL_CTX *pCtx = SSL_get_SSL_CTX(pSsl);
  SSL_shutdown(pSsl);
  // The session holds a reference to its context; the context created with
  // it is dropped here, and SSL_free drops the session's own reference.
  SSL_CTX_free(pCtx);
  FreeLock(pSsl);
  SSL_free(pSsl);
  ERR_clear_error();
}

int SslSendBytes(int nSock, void *pSSL, const void *pData, int nLen) {
  if (nLen <= 0) return nLen == 0 ? 0 : -1;
  if (!pSSL) return PlatSend(nSock, pData, nLen);
  SSL *pSsl = static_cast<SSL *>(pSSL);
  SessionGuard guard(pSsl);
  const char *p = static_cast<const char *>(pData);
  int nLeft = nLen;
  while (nLeft > 0) {
    int n = SSL_write(pSsl, p, nLeft);
    if (n <= 0) {
      ERR_clear_error();
      return -1;
    }
    p += n;
    nLeft -= n;
  }
  return nLen;
}

int SslSend(int nSock, void *pSSL, const char *szText) {
  size_t nLen = strlen(szText);
  if (nLen > INT_MAX) return -1;
  return SslSendBytes(nSock, pSSL, szText, static_cast<int>(nLen));
}

void SslShutdownSend(int nSock, void *pSSL) {
  if (pSSL) {
    SSL *pSsl = static_cast<SSL *>(pSSL);
    SessionGuard guard(pSsl);
    SSL_shutdown(pSsl);
    ERR_clear_error();
  }
  PlatShutdownSend(nSock);
}

int SslRecv(int nSock, void *pSSL, char *pBuf, int nSize, int nTimeoutMs) {
  if (!pSSL) return PlatRecv(nSock, pBuf, nSize, nTimeoutMs);
  SSL *pSsl = static_cast<SSL *>(pSSL);
  const int nWaitMs = nTimeoutMs > 0 ? nTimeoutMs : kPlatDefaultWaitMs;
  const int64_t nDeadline = PlatSteadyMs() + nWaitMs;
  for (;;) {
    // Bytes already decrypted are not visible to a wait on the socket.
    int nPending;
    {
      SessionGuard guard(pSsl);
      nPending = SSL_pending(pSsl);
    }
    if (nPending == 0) {
      int64_t nLeft = nDeadline - PlatSteadyMs();
      if (nLeft <= 0) return -1;
      if (PlatWaitReadable(nSock, static_cast<int>(nLeft)) <= 0) return -1;
    }
    // A TLS read error ends the direction as if the peer had closed.
    int n = ReadOnce(pSsl, nSock, pBuf, nSize);
    if (n != kReadIncomplete) return n;
    // Only part of a record (or a handshake message) has arrived: wait for
    // the rest without holding the session.
  }
}
