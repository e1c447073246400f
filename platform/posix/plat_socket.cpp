#include "platform/plat_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "base/fixed_text.h"

struct PlatAddrList {
  struct addrinfo *pInfo;
};

namespace {

constexpr int kMinSockTimeoutMs = 500;
constexpr int kDefaultConnectWaitMs = 75000;

// IPv4-mapped IPv6 addresses (::ffff:a.b.c.d) become plain IPv4 addresses.
void UnmapV4(PlatSockAddr *pAddr) {
  auto *p6 = reinterpret_cast<sockaddr_in6 *>(pAddr->m);
  if (p6->sin6_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&p6->sin6_addr)) return;
  sockaddr_in v4 = {};
  v4.sin_family = AF_INET;
  v4.sin_port = p6->sin6_port;
  memcpy(&v4.sin_addr, &p6->sin6_addr.s6_addr[12], 4);
  memset(pAddr->m, 0, sizeof pAddr->m);
  memcpy(pAddr->m, &v4, sizeof v4);
  pAddr->nLen = sizeof v4;
}

void SetTimeoutOption(PlatSocket s, int nOption, int nMs) {
  if (nMs <= 0) return;
  if (nMs < kMinSockTimeoutMs) nMs = kMinSockTimeoutMs;
  struct timeval tv;
  tv.tv_sec = nMs / 1000;
  tv.tv_usec = (nMs % 1000) * 1000;
  setsockopt(s, SOL_SOCKET, nOption, &tv, sizeof tv);
}

// IPv6 text as the listener and the connect table accept it: no port, no
// scope, no brackets.
int ParseIPv6(const char *szText, in6_addr *pAddr) {
  if (strpbrk(szText, "%[]")) return -1;
  return inet_pton(AF_INET6, szText, pAddr) == 1 ? 1 : -1;
}

}  // namespace

int PlatLastError() { return errno; }

void PlatNoteTimeout() { errno = ETIMEDOUT; }

int PlatWsaCode(int nErr) {
  switch (nErr) {
    case EINTR: return 10004;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE:
    case ENFILE: return 10024;
    case EAGAIN: return 10035;
    case EINPROGRESS: return 10036;
    case ENOTSOCK: return 10038;
    case EOPNOTSUPP: return 10045;
    case ENETDOWN: return 10050;
    case ENOBUFS:
    case ENOMEM: return 10055;
    default: return 0;
  }
}

int PlatBindListener(int bIPv6, const char *szAddr, int nPort, PlatSocket *pSock) {
  *pSock = kPlatNoSocket;
  int s = socket(bIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return kListenNoSocket;
  int nOn = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
  int nBound = -1;
  if (bIPv6) {
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &nOn, sizeof nOn);
    sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(nPort));
    if (ParseIPv6(szAddr, &a.sin6_addr) == 1) nBound = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  } else {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(nPort));
    if (inet_pton(AF_INET, szAddr, &a.sin_addr) == 1) nBound = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  if (nBound != 0) {
    int nErr = errno;
    close(s);
    errno = nErr;
    return kListenBindFailed;
  }
  *pSock = s;
  return kListenOk;
}

int PlatListen(PlatSocket s, int nBacklog) { return listen(s, nBacklog) == 0 ? 1 : -1; }

namespace {

// Written by the stop signals' handler, read by the listener's wait (the
// signal may reach any thread, so the wait is woken through a descriptor).
int g_aStopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  int nErr = errno;
  char c = 1;
  ssize_t n = write(g_aStopPipe[1], &c, 1);
  (void)n;
  errno = nErr;
}

}  // namespace

int PlatCatchStop() {
  if (g_aStopPipe[0] >= 0) return 1;
  if (pipe2(g_aStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction sa = {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  return 1;
}

void PlatStopNow() {
  signal(SIGTERM, SIG_DFL);
  raise(SIGTERM);
}

int PlatWaitAcceptable(const PlatSocket *pSocks, int n, int *pIndex) {
  struct pollfd fds[65];
  if (n > 64) n = 64;
  if (n <= 0) {
    errno = EINVAL;
    return -1;
  }
  for (int i = 0; i < n; ++i) {
    fds[i].fd = pSocks[i];
    fds[i].events = POLLIN;
    fds[i].revents = 0;
  }
  // The stop pipe rides at the end (a negative descriptor is not waited on).
  fds[n] = {g_aStopPipe[0], POLLIN, 0};
  for (;;) {
    int r = poll(fds, static_cast<nfds_t>(n + 1), -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (fds[n].revents & POLLIN) return 0;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents & POLLNVAL) {
        errno = ENOTSOCK;
        return -1;
      }
      if (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) {
        *pIndex = i;
        return 1;
      }
    }
  }
}

PlatSocket PlatAccept(PlatSocket sListen, PlatSockAddr *pPeer) {
  memset(pPeer, 0, sizeof *pPeer);
  socklen_t nLen = sizeof pPeer->m;
  int s;
  do {
    s = accept4(sListen, reinterpret_cast<sockaddr *>(pPeer->m), &nLen, SOCK_CLOEXEC);
  } while (s < 0 && errno == EINTR);
  if (s < 0) return kPlatNoSocket;
  if (s == 0) {
    // Socket number 0 means "closed" in the connection record; a process
    // started with standard input closed must not hand it to a client.
    int nMoved = fcntl(s, F_DUPFD_CLOEXEC, 3);
    close(s);
    if (nMoved < 0) return kPlatNoSocket;
    s = nMoved;
  }
  pPeer->nLen = nLen;
  UnmapV4(pPeer);
  return s;
}

namespace {

// One end of a connected socket through getsockname or getpeername.
int SocketEndAddress(PlatSocket s, PlatSockAddr *pAddr, int (*pfnQuery)(int, sockaddr *, socklen_t *)) {
  memset(pAddr, 0, sizeof *pAddr);
  socklen_t nLen = sizeof pAddr->m;
  if (pfnQuery(s, reinterpret_cast<sockaddr *>(pAddr->m), &nLen) != 0) return -1;
  pAddr->nLen = nLen;
  UnmapV4(pAddr);
  return 1;
}

}  // namespace

int PlatDescriptorLimit() {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur > INT_MAX) return INT_MAX;
  return static_cast<int>(lim.rlim_cur);
}

int PlatLocalAddress(PlatSocket s, PlatSockAddr *pAddr) { return SocketEndAddress(s, pAddr, getsockname); }

int PlatPeerAddress(PlatSocket s, PlatSockAddr *pAddr) { return SocketEndAddress(s, pAddr, getpeername); }

uint32_t PlatAddrFamily(const PlatSockAddr *pAddr) {
  int nFamily = reinterpret_cast<const sockaddr *>(pAddr->m)->sa_family;
  return nFamily == AF_INET ? kFamilyIPv4 : nFamily == AF_INET6 ? kFamilyIPv6 : 0;
}

uint32_t PlatAddrPort(const PlatSockAddr *pAddr) {
  const auto *p = reinterpret_cast<const sockaddr *>(pAddr->m);
  if (p->sa_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in *>(p)->sin_port);
  if (p->sa_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6 *>(p)->sin6_port);
  return 0;
}

int PlatAddrText(const PlatSockAddr *pAddr, char *pOut, std::size_t nOut) {
  const auto *p = reinterpret_cast<const sockaddr *>(pAddr->m);
  const char *r = nullptr;
  if (p->sa_family == AF_INET)
    r = inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(p)->sin_addr, pOut, static_cast<socklen_t>(nOut));
  else if (p->sa_family == AF_INET6)
    r = inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(p)->sin6_addr, pOut, static_cast<socklen_t>(nOut));
  if (!r) {
    if (nOut) pOut[0] = '\0';
    return -1;
  }
  return 1;
}

int PlatHostName(char *pOut, std::size_t nOut) {
  if (nOut == 0 || gethostname(pOut, nOut) != 0) return -1;
  pOut[nOut - 1] = '\0';
  return 1;
}

namespace {

// Name lookups of the accept path (the reverse names of the client and local
// addresses, the canonical name of the local one) are remembered for a
// short time: every connection from the same address would otherwise ask
// the resolver again, which costs more than the rest of a small request.
// Answers and failures alike are kept kNameCacheMs; at most kNameCacheSize
// of them, the oldest going first.
constexpr int64_t kNameCacheMs = 30000;
constexpr std::size_t kNameCacheSize = 64;
constexpr std::size_t kNameCacheText = 256;

struct NameCacheEntry {
  int nKind;                    // 0 unused, 1 reverse name, 2 canonical IPv4, 3 canonical IPv6
  int nResult;
  int64_t nExpires;             // monotonic milliseconds
  char szKey[kNameCacheText];
  char szName[kNameCacheText];
};

struct NameCache {
  std::mutex lock;
  NameCacheEntry entries[kNameCacheSize];
  std::size_t nNext = 0;
};

// Never destroyed (threads may still look names up while the process
// exits), and taken from static storage, not the heap.
NameCache &TheNameCache() {
  alignas(NameCache) static unsigned char s_Store[sizeof(NameCache)];
  static NameCache *pCache = ::new (s_Store) NameCache();
  return *pCache;
}

int64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Calls fnLookup(name buffer, its size) unless an answer for the key is
// still fresh; copies the name into pOut and returns the lookup's result.
// Keys and names too long for an entry are looked up every time.
template <typename Fn>
int CachedName(int nKind, const char *szKey, char *pOut, std::size_t nOut, Fn fnLookup) {
  NameCache &cache = TheNameCache();
  bool bKeyFits = strlen(szKey) < kNameCacheText;
  int64_t nNow = MonotonicMs();
  if (bKeyFits) {
    std::lock_guard<std::mutex> guard(cache.lock);
    for (const NameCacheEntry &e : cache.entries) {
      if (e.nKind == nKind && e.nExpires > nNow && strcmp(e.szKey, szKey) == 0) {
        CopyText(pOut, nOut, e.szName);
        return e.nResult;
      }
    }
  }
  char szName[kNameCacheText * 4];
  szName[0] = '\0';
  int nResult = fnLookup(szName, sizeof szName);
  CopyText(pOut, nOut, szName);
  if (bKeyFits && strlen(szName) < kNameCacheText) {
    std::lock_guard<std::mutex> guard(cache.lock);
    NameCacheEntry &e = cache.entries[cache.nNext];
    cache.nNext = (cache.nNext + 1) % kNameCacheSize;
    e.nKind = nKind;
    e.nResult = nResult;
    e.nExpires = nNow + kNameCacheMs;
    CopyText(e.szKey, sizeof e.szKey, szKey);
    CopyText(e.szName, sizeof e.szName, szName);
  }
  return nResult;
}

int CanonicalNameNow(const char *szName, int bIPv6, char *pOut, std::size_t nOut) {
  struct addrinfo hints = {};
  hints.ai_family = bIPv6 ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  struct addrinfo *pRes = nullptr;
  if (getaddrinfo(szName, nullptr, &hints, &pRes) != 0) return -1;
  int nFound = -1;
  if (pRes && pRes->ai_canonname) {
    CopyText(pOut, nOut, pRes->ai_canonname);
    nFound = 1;
  }
  freeaddrinfo(pRes);
  return nFound;
}

int ReverseNameNow(const char *szAddr, char *pOut, std::size_t nOut) {
  if (nOut) pOut[0] = '\0';
  struct addrinfo hints = {};
  hints.ai_family = strchr(szAddr, ':') ? AF_INET6 : AF_INET;
  hints.ai_flags = AI_NUMERICHOST;
  struct addrinfo *pRes = nullptr;
  if (getaddrinfo(szAddr, nullptr, &hints, &pRes) != 0 || !pRes) return -1;
  char szName[NI_MAXHOST];
  int r = getnameinfo(pRes->ai_addr, pRes->ai_addrlen, szName, sizeof szName, nullptr, 0, NI_NAMEREQD);
  freeaddrinfo(pRes);
  if (r != 0) return 0;
  CopyText(pOut, nOut, szName);
  return 1;
}

}  // namespace

int PlatCanonicalName(const char *szName, int bIPv6, char *pOut, std::size_t nOut) {
  return CachedName(bIPv6 ? 3 : 2, szName, pOut, nOut,
                    [&](char *pName, std::size_t nName) { return CanonicalNameNow(szName, bIPv6, pName, nName); });
}

int PlatReverseName(const char *szAddr, char *pOut, std::size_t nOut) {
  if (nOut) pOut[0] = '\0';
  return CachedName(1, szAddr, pOut, nOut,
                    [&](char *pName, std::size_t nName) { return ReverseNameNow(szAddr, pName, nName); });
}

int PlatResolve(const char *szHost, const char *szPort, int bIPv6, PlatAddrList **ppList, int *pErr) {
  *ppList = nullptr;
  struct addrinfo hints = {};
  hints.ai_family = bIPv6 ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *pRes = nullptr;
  int r = getaddrinfo(szHost, szPort, &hints, &pRes);
  if (r != 0 || !pRes) {
    if (pRes) freeaddrinfo(pRes);
    *pErr = r != 0 ? r : EAI_NONAME;
    return -1;
  }
  auto *pList = new (std::nothrow) PlatAddrList;
  if (!pList) {
    freeaddrinfo(pRes);
    *pErr = EAI_MEMORY;
    return -1;
  }
  pList->pInfo = pRes;
  *ppList = pList;
  *pErr = 0;
  return 1;
}

void PlatFreeAddrList(PlatAddrList *pList) {
  if (!pList) return;
  freeaddrinfo(pList->pInfo);
  delete pList;
}

const char *PlatResolveErrorText(int nErr) { return gai_strerror(nErr); }

PlatSocket PlatSocketFor(const PlatAddrList *pList) {
  const struct addrinfo *p = pList->pInfo;
  int s = socket(p->ai_family, p->ai_socktype | SOCK_CLOEXEC, p->ai_protocol);
  return s < 0 ? kPlatNoSocket : s;
}

int PlatBindLocal(PlatSocket s, const char *szAddr, int nPort) {
  int nDomain = 0;
  socklen_t nLen = sizeof nDomain;
  if (getsockopt(s, SOL_SOCKET, SO_DOMAIN, &nDomain, &nLen) != 0) return -1;
  if (nDomain == AF_INET6) {
    sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(nPort));
    if (ParseIPv6(szAddr, &a.sin6_addr) != 1) return -1;
    return bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? 1 : -1;
  }
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(nPort));
  if (inet_pton(AF_INET, szAddr, &a.sin_addr) != 1) return -1;
  return bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? 1 : -1;
}

namespace {

// Connect without blocking and bound the wait: a blocking connect to a
// silent address waits minutes.  The socket is blocking again afterwards.
int ConnectBounded(PlatSocket s, const sockaddr *pAddr, socklen_t nLen, int nTimeoutMs) {
  if (nTimeoutMs <= 0) nTimeoutMs = kDefaultConnectWaitMs;
  int nFlags = fcntl(s, F_GETFL, 0);
  if (nFlags < 0 || fcntl(s, F_SETFL, nFlags | O_NONBLOCK) != 0) return -1;
  int r = connect(s, pAddr, nLen);
  int nErr = r == 0 ? 0 : errno;
  if (r != 0 && (nErr == EINPROGRESS || nErr == EINTR)) {
    struct pollfd fd = {s, POLLOUT, 0};
    int w;
    do {
      w = poll(&fd, 1, nTimeoutMs);
    } while (w < 0 && errno == EINTR);
    if (w == 0) {
      nErr = ETIMEDOUT;
    } else if (w < 0) {
      nErr = errno;
    } else {
      socklen_t nErrLen = sizeof nErr;
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, &nErr, &nErrLen) != 0) nErr = errno;
    }
  }
  fcntl(s, F_SETFL, nFlags);
  if (nErr != 0) {
    errno = nErr;
    return -1;
  }
  return 1;
}

int FamilyOf(uint32_t nFamily) {
  return nFamily == kFamilyIPv4 ? AF_INET : nFamily == kFamilyIPv6 ? AF_INET6 : AF_UNSPEC;
}

}  // namespace

int PlatConnect(PlatSocket s, const PlatAddrList *pList, int nTimeoutMs) {
  const struct addrinfo *p = pList->pInfo;
  return ConnectBounded(s, p->ai_addr, p->ai_addrlen, nTimeoutMs);
}

int PlatResolveAddr(const char *szHost, const char *szPort, uint32_t nFamily, int nFlags, PlatSockAddr *pAddr,
                    int *pErr) {
  memset(pAddr, 0, sizeof *pAddr);
  struct addrinfo hints = {};
  hints.ai_family = FamilyOf(nFamily);
  hints.ai_socktype = SOCK_STREAM;
  if (nFlags & kPlatResolveCanonName) hints.ai_flags |= AI_CANONNAME;
  if (nFlags & kPlatResolveNumeric) hints.ai_flags |= AI_NUMERICHOST;
  if (nFlags & kPlatResolvePassive) hints.ai_flags |= AI_PASSIVE;
  struct addrinfo *pRes = nullptr;
  int r = getaddrinfo(szHost, szPort, &hints, &pRes);
  if (r != 0 || pRes == nullptr || pRes->ai_addrlen > sizeof pAddr->m) {
    if (pRes) freeaddrinfo(pRes);
    *pErr = r != 0 ? r : EAI_NONAME;
    return -1;
  }
  memcpy(pAddr->m, pRes->ai_addr, pRes->ai_addrlen);
  pAddr->nLen = static_cast<uint32_t>(pRes->ai_addrlen);
  freeaddrinfo(pRes);
  *pErr = 0;
  return 1;
}

int PlatMakeAddr(const char *szText, int nPort, PlatSockAddr *pAddr) {
  memset(pAddr, 0, sizeof *pAddr);
  if (strchr(szText, ':') != nullptr) {
    sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(nPort));
    if (ParseIPv6(szText, &a.sin6_addr) != 1) {
      errno = EAFNOSUPPORT;
      return -1;
    }
    memcpy(pAddr->m, &a, sizeof a);
    pAddr->nLen = sizeof a;
    return 1;
  }
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(nPort));
  // The all-ones address is the broadcast address, never a peer.
  if (inet_pton(AF_INET, szText, &a.sin_addr) != 1 || a.sin_addr.s_addr == INADDR_NONE) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  memcpy(pAddr->m, &a, sizeof a);
  pAddr->nLen = sizeof a;
  return 1;
}

PlatSocket PlatStreamSocket(uint32_t nFamily) {
  int nAf = FamilyOf(nFamily);
  if (nAf == AF_UNSPEC) {
    errno = EAFNOSUPPORT;
    return kPlatNoSocket;
  }
  int s = socket(nAf, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return s < 0 ? kPlatNoSocket : s;
}

int PlatConnectAddr(PlatSocket s, const PlatSockAddr *pAddr, int nTimeoutMs) {
  return ConnectBounded(s, reinterpret_cast<const sockaddr *>(pAddr->m), pAddr->nLen, nTimeoutMs);
}

namespace {

// Binds s (of family nAf) to the any-address and nPort.
int BindAny(int s, int nAf, int nPort) {
  if (nAf == AF_INET6) {
    int nOn = 1;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &nOn, sizeof nOn);
    sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(nPort));
    a.sin6_addr = in6addr_any;
    return bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(nPort));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
}

}  // namespace

int PlatListenAt(const char *szAddr, int nPort, int nBacklog, PlatSocket *pSock) {
  *pSock = kPlatNoSocket;
  char szPort[16];
  snprintf(szPort, sizeof szPort, "%d", nPort);
  PlatSockAddr addr;
  int nErr = 0;
  uint32_t nFamily = strchr(szAddr, '.') != nullptr ? kFamilyIPv4 : kFamilyIPv6;
  if (PlatResolveAddr(szAddr, szPort, nFamily, kPlatResolvePassive | kPlatResolveNumeric, &addr, &nErr) != 1)
    return kListenNoAddress;
  int s = socket(reinterpret_cast<sockaddr *>(addr.m)->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return kListenNoSocket;
  int nOn = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
  if (bind(s, reinterpret_cast<sockaddr *>(addr.m), addr.nLen) != 0) {
    nErr = errno;
    close(s);
    errno = nErr;
    return kListenBindFailed;
  }
  if (listen(s, nBacklog) != 0) {
    nErr = errno;
    close(s);
    errno = nErr;
    return kListenFailed;
  }
  *pSock = s;
  return kListenOk;
}

int PlatListenAny(uint32_t nFamily, int nPort, int nBacklog, PlatSocket *pSock) {
  *pSock = kPlatNoSocket;
  int nAf = FamilyOf(nFamily);
  if (nAf == AF_UNSPEC) {
    errno = EAFNOSUPPORT;
    return kListenNoSocket;
  }
  int s = socket(nAf, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return kListenNoSocket;
  // A data port of an earlier transfer may still have connections in
  // TIME_WAIT; they must not keep the port from being listened on again.
  int nOn = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
  int nErr;
  if (BindAny(s, nAf, nPort) != 0) {
    nErr = errno;
    close(s);
    errno = nErr;
    return kListenBindFailed;
  }
  if (listen(s, nBacklog > 0 ? nBacklog : SOMAXCONN) != 0) {
    nErr = errno;
    close(s);
    errno = nErr;
    return kListenFailed;
  }
  *pSock = s;
  return kListenOk;
}

void PlatSetSendTimeout(PlatSocket s, int nMs) { SetTimeoutOption(s, SO_SNDTIMEO, nMs); }
void PlatSetRecvTimeout(PlatSocket s, int nMs) { SetTimeoutOption(s, SO_RCVTIMEO, nMs); }

void PlatClearTimeouts(PlatSocket s) {
  struct timeval tv = {0, 0};
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

int PlatSend(PlatSocket s, const void *pData, int nLen) {
  const char *p = static_cast<const char *>(pData);
  int nLeft = nLen;
  while (nLeft > 0) {
    ssize_t n = send(s, p, static_cast<size_t>(nLeft), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += n;
    nLeft -= static_cast<int>(n);
  }
  return nLen;
}

int PlatWaitReadable(PlatSocket s, int nTimeoutMs) {
  struct pollfd fd = {s, POLLIN, 0};
  int64_t nLeft = nTimeoutMs;
  for (;;) {
    int r = poll(&fd, 1, static_cast<int>(nLeft));
    if (r > 0) return 1;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

namespace {

// The socket whose last receive on this thread filled the whole buffer: more
// is most likely queued already, so the next receive tries without waiting
// first and saves the readiness wait.  A stream that has gone quiet costs
// one extra attempt and then waits as usual.
thread_local PlatSocket t_sFull = kPlatNoSocket;

int RecvNoted(PlatSocket s, ssize_t n, int nSize) {
  t_sFull = n == nSize ? s : kPlatNoSocket;
  return static_cast<int>(n);
}

}  // namespace

void PlatRecvTryFirst(PlatSocket s) { t_sFull = s; }

int PlatRecv(PlatSocket s, char *pBuf, int nSize, int nTimeoutMs) {
  if (nTimeoutMs <= 0) nTimeoutMs = kPlatDefaultWaitMs;
  if (s == t_sFull) {
    for (;;) {
      ssize_t n = recv(s, pBuf, static_cast<size_t>(nSize), MSG_DONTWAIT);
      if (n >= 0) return RecvNoted(s, n, nSize);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      break;
    }
  }
  int w = PlatWaitReadable(s, nTimeoutMs);
  if (w == 0) {
    errno = ETIMEDOUT;
    return -1;
  }
  if (w < 0) return -1;
  for (;;) {
    ssize_t n = recv(s, pBuf, static_cast<size_t>(nSize), 0);
    if (n >= 0) return RecvNoted(s, n, nSize);
    if (errno != EINTR) return -1;
  }
}

void PlatShutdownClose(PlatSocket s) {
  if (s < 0) return;
  shutdown(s, SHUT_RDWR);
  // Closing with unread bytes in the receive queue sends a reset, and a
  // reset makes the peer throw away what it has not read yet: the end of
  // our answer.  Read what is queued (without waiting) first.
  char buf[16384];
  for (int i = 0; i < 64; ++i) {
    ssize_t n = recv(s, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0 && !(n < 0 && errno == EINTR)) break;
  }
  close(s);
}

void PlatSetNoDelay(PlatSocket s) {
  int nOn = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
}

void PlatShutdown(PlatSocket s) {
  if (s >= 0) shutdown(s, SHUT_RDWR);
}

void PlatShutdownSend(PlatSocket s) {
  if (s >= 0) shutdown(s, SHUT_WR);
}

void PlatShutdownReceive(PlatSocket s) {
  if (s >= 0) shutdown(s, SHUT_RD);
}

void PlatCloseSocket(PlatSocket s) {
  if (s >= 0) close(s);
}
