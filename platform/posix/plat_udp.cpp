#include "platform/plat_udp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/plat_time.h"

PlatSocket PlatUdpSocket(int bIPv6) {
  int s = socket(bIPv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return s < 0 ? kPlatNoSocket : s;
}

int PlatResolveDatagram(const char *szHost, int nPort, int bIPv6, int bNumeric, PlatSockAddr *pAddr, int *pErr) {
  memset(pAddr, 0, sizeof *pAddr);
  char szPort[16];
  snprintf(szPort, sizeof szPort, "%d", nPort);
  struct addrinfo hints = {};
  hints.ai_family = bIPv6 ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = bNumeric ? AI_NUMERICHOST : AI_CANONNAME;
  struct addrinfo *pList = nullptr;
  int r = getaddrinfo(szHost, szPort, &hints, &pList);
  if (r != 0 || pList == nullptr) {
    if (pErr) *pErr = r;
    return -1;
  }
  std::size_t nLen = pList->ai_addrlen < sizeof pAddr->m ? pList->ai_addrlen : sizeof pAddr->m;
  memcpy(pAddr->m, pList->ai_addr, nLen);
  pAddr->nLen = static_cast<uint32_t>(nLen);
  freeaddrinfo(pList);
  return 1;
}

int PlatBindTo(PlatSocket s, const PlatSockAddr *pAddr) {
  return bind(s, reinterpret_cast<const sockaddr *>(pAddr->m), pAddr->nLen) == 0 ? 1 : -1;
}

int PlatSendTo(PlatSocket s, const void *pData, int nLen, const PlatSockAddr *pTo) {
  for (;;) {
    ssize_t n = sendto(s, pData, static_cast<size_t>(nLen), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(pTo->m),
                       pTo->nLen);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return -1;
  }
}

int PlatRecvFrom(PlatSocket s, char *pBuf, int nSize, int nTimeoutMs, PlatSockAddr *pFrom) {
  if (nTimeoutMs <= 0) nTimeoutMs = kPlatDefaultWaitMs;
  int w = PlatWaitReadable(s, nTimeoutMs);
  if (w == 0) {
    errno = ETIMEDOUT;
    return -1;
  }
  if (w < 0) return -1;
  memset(pFrom, 0, sizeof *pFrom);
  for (;;) {
    socklen_t nLen = sizeof pFrom->m;
    ssize_t n = recvfrom(s, pBuf, static_cast<size_t>(nSize), 0, reinterpret_cast<sockaddr *>(pFrom->m), &nLen);
    if (n >= 0) {
      pFrom->nLen = nLen;
      return static_cast<int>(n);
    }
    if (errno != EINTR) return -1;
  }
}

int PlatProbePort(int bIPv4, int *pPort) {
  int s = socket(bIPv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  // Address reuse as the data listeners set it: a port whose earlier
  // connections linger in TIME_WAIT is free for them, and must be for the
  // probe too (else a range used once stays "busy" for minutes).  A port
  // that something listens on still fails the bind.
  int nOn = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
  int nResult = 0;
  sockaddr_storage a = {};
  socklen_t nLen;
  if (bIPv4) {
    auto *p4 = reinterpret_cast<sockaddr_in *>(&a);
    p4->sin_family = AF_INET;
    p4->sin_addr.s_addr = htonl(INADDR_ANY);
    p4->sin_port = htons(static_cast<uint16_t>(*pPort));
    nLen = sizeof *p4;
  } else {
    auto *p6 = reinterpret_cast<sockaddr_in6 *>(&a);
    p6->sin6_family = AF_INET6;
    p6->sin6_addr = in6addr_any;
    p6->sin6_port = htons(static_cast<uint16_t>(*pPort));
    nLen = sizeof *p6;
  }
  if (bind(s, reinterpret_cast<sockaddr *>(&a), nLen) != 0) {
    nResult = -1;
  } else {
    sockaddr_storage b = {};
    socklen_t nGot = sizeof b;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&b), &nGot) != 0) {
      nResult = -2;
    } else {
      *pPort = bIPv4 ? ntohs(reinterpret_cast<sockaddr_in *>(&b)->sin_port)
                     : ntohs(reinterpret_cast<sockaddr_in6 *>(&b)->sin6_port);
    }
  }
  int nErr = errno;
  close(s);
  errno = nErr;
  return nResult;
}

int PlatAddrBytes(const char *szText, int bIPv6, unsigned char *pOut) {
  // Scope and bracket forms are not addresses here.
  if (bIPv6 && strpbrk(szText, "%[]")) return -1;
  return inet_pton(bIPv6 ? AF_INET6 : AF_INET, szText, pOut) == 1 ? 1 : -1;
}

namespace {

// The address bytes of a numeric text, IPv4-mapped IPv6 reduced to IPv4.
// Returns the byte count (4 or 16), 0 for no address.
int CanonicalBytes(const char *szText, unsigned char *pOut) {
  if (inet_pton(AF_INET, szText, pOut) == 1) return 4;
  unsigned char v6[16];
  if (strpbrk(szText, "%[]") || inet_pton(AF_INET6, szText, v6) != 1) return 0;
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (memcmp(v6, kMapped, sizeof kMapped) == 0) {
    memcpy(pOut, v6 + 12, 4);
    return 4;
  }
  memcpy(pOut, v6, 16);
  return 16;
}

}  // namespace

int PlatSameAddress(const char *szA, const char *szB) {
  unsigned char a[16], b[16];
  int nA = CanonicalBytes(szA, a);
  int nB = CanonicalBytes(szB, b);
  return nA > 0 && nA == nB && memcmp(a, b, static_cast<size_t>(nA)) == 0 ? 1 : 0;
}

int PlatWaitEither(PlatSocket a, PlatSocket b, int nTimeoutMs) {
  struct pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  int64_t nEnd = PlatSteadyMs() + nTimeoutMs;
  for (;;) {
    int64_t nLeft = nEnd - PlatSteadyMs();
    if (nLeft < 0) nLeft = 0;
    int r = poll(fds, 2, static_cast<int>(nLeft));
    if (r > 0) return fds[0].revents ? 1 : 2;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

int PlatWaitAny(const PlatSocket *pSocks, int n, int nTimeoutMs, unsigned *pnReady) {
  struct pollfd fds[8];
  if (n < 0 || n > 8) {
    errno = EINVAL;
    return -1;
  }
  for (int i = 0; i < n; ++i) fds[i] = {pSocks[i], POLLIN, 0};  // poll skips negative descriptors
  *pnReady = 0;
  int64_t nEnd = PlatSteadyMs() + nTimeoutMs;
  for (;;) {
    int64_t nLeft = nEnd - PlatSteadyMs();
    if (nLeft < 0) nLeft = 0;
    int r = poll(fds, static_cast<nfds_t>(n), static_cast<int>(nLeft));
    if (r > 0) {
      for (int i = 0; i < n; ++i)
        if (fds[i].revents) *pnReady |= 1u << i;
      return 1;
    }
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}
