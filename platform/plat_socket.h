// Stream sockets, addresses and the resolver: the BSD socket calls the
// listener, the connection threads and the outbound connections need.
//
// Socket numbers are the file descriptors (they are the "[%04d]" of log
// lines).  Every call that fails leaves its reason in PlatLastError()
// (errno, or the resolver code where a call says so).  No call here writes
// to the debug log; callers log in their own words.
#ifndef PROXY_PLATFORM_PLAT_SOCKET_H_
#define PROXY_PLATFORM_PLAT_SOCKET_H_

#include <cstddef>
#include <cstdint>

using PlatSocket = int;
constexpr PlatSocket kPlatNoSocket = -1;

// Address families as the connection record stores them (Windows values).
constexpr uint32_t kFamilyIPv4 = 2;
constexpr uint32_t kFamilyIPv6 = 23;

// Longest numeric address text plus NUL (IPv6 with an IPv4 tail).
constexpr std::size_t kAddrTextSize = 65;

// The reason of the last failed call of this thread (errno).
int PlatLastError();
// Sets this thread's last error to "timed out" (ETIMEDOUT): for callers
// that bound a wait themselves and end it without a call of their own.
void PlatNoteTimeout();

// Socket error numbers as the log lines print them: the Winsock code that
// has the same meaning (EINTR -> 10004, EFAULT -> 10014, EINVAL -> 10022,
// EMFILE/ENFILE -> 10024, EAGAIN -> 10035, EINPROGRESS -> 10036,
// ENOTSOCK -> 10038, EOPNOTSUPP -> 10045, ENETDOWN -> 10050,
// ENOBUFS/ENOMEM -> 10055); any other errno gives 0 ("other").
int PlatWsaCode(int nErr);

// A socket address of either family, as the kernel returned it.
struct PlatSockAddr {
  alignas(8) unsigned char m[128];
  uint32_t nLen;
};

// ---- Listening -------------------------------------------------------------

// Results of the listening-socket set-ups (PlatBindListener, PlatListenAt,
// PlatListenAny).
constexpr int kListenOk = 1;
constexpr int kListenNoAddress = -1;   // the address text does not resolve
constexpr int kListenNoSocket = -2;    // the socket cannot be created
constexpr int kListenBindFailed = -3;  // not an address of the family, or the bind failed
constexpr int kListenFailed = -4;      // listen() failed

// Creates a stream socket of the family (bIPv6: IPv6 with IPV6_V6ONLY, so an
// IPv4 and an IPv6 listener may share a port; else IPv4), sets address
// reuse, parses szAddr (IPv4 dotted quad, or IPv6 text without port or
// scope) and binds it to nPort.
// Returns kListenOk and the socket in *pSock; kListenNoSocket when the
// socket cannot be created; kListenBindFailed when the address text is not
// an address of that family or the bind fails (the socket is closed then).
int PlatBindListener(int bIPv6, const char *szAddr, int nPort, PlatSocket *pSock);

// listen() with the backlog (the kernel caps it).  1 done, -1 failure.
int PlatListen(PlatSocket s, int nBacklog);

// Waits without time-out until one of the n sockets can accept.  Returns 1
// and the index of the first ready socket in array order; 0 when a stop
// signal came (after PlatCatchStop); -1 on failure.  An interrupted wait
// (EINTR) is repeated.
int PlatWaitAcceptable(const PlatSocket *pSocks, int n, int *pIndex);

// From now on SIGTERM and SIGINT do not end the process at once: they make
// PlatWaitAcceptable return 0, so that an idle process can end in order
// (the C library's exit, with the leak check of a sanitizer build).
// 1 done, -1 failure (the signals keep their default action).
int PlatCatchStop();
// Ends the process as SIGTERM does by default.
void PlatStopNow();

// Accepts one connection.  The peer address comes back in *pPeer; an IPv4
// peer reported in IPv4-mapped IPv6 form is converted to the IPv4 form.
// Returns the new socket or kPlatNoSocket (PlatLastError() says why).
PlatSocket PlatAccept(PlatSocket sListen, PlatSockAddr *pPeer);

// The number of descriptors the process may hold (its soft limit; INT_MAX
// when there is none).
int PlatDescriptorLimit();

// Local address of a connected socket (IPv4-mapped converted as above).
// 1 done, -1 failure.
int PlatLocalAddress(PlatSocket s, PlatSockAddr *pAddr);

// Address of the peer of a connected socket (IPv4-mapped converted as
// above).  1 done, -1 failure.
int PlatPeerAddress(PlatSocket s, PlatSockAddr *pAddr);

// kFamilyIPv4, kFamilyIPv6 or 0 for another family.
uint32_t PlatAddrFamily(const PlatSockAddr *pAddr);
// Port in host order.
uint32_t PlatAddrPort(const PlatSockAddr *pAddr);
// Numeric text of the address (no port).  1 done, -1 failure.
int PlatAddrText(const PlatSockAddr *pAddr, char *pOut, std::size_t nOut);

// ---- Names -----------------------------------------------------------------

// This machine's host name.  1 done, -1 failure.
int PlatHostName(char *pOut, std::size_t nOut);

// Canonical name of szName (resolver with the canonical-name flag, stream
// type, family IPv6 when bIPv6 else IPv4).  1 found (pOut filled, cut to
// fit), -1 lookup failed.  Answers are remembered for 30 seconds.
int PlatCanonicalName(const char *szName, int bIPv6, char *pOut, std::size_t nOut);

// Reverse name of a numeric address text (family IPv6 when it holds ":").
// 1 a name was found; 0 no name (pOut empty); -1 the text is not a numeric
// address (pOut empty).  Answers are remembered for 30 seconds.
int PlatReverseName(const char *szAddr, char *pOut, std::size_t nOut);

// ---- Outbound --------------------------------------------------------------

struct PlatAddrList;  // a resolver result list

// Resolves host and port text for stream sockets of one family (bIPv6).
// 1 and *ppList (free it with PlatFreeAddrList); else -1 with the resolver
// code in *pErr.
int PlatResolve(const char *szHost, const char *szPort, int bIPv6, PlatAddrList **ppList, int *pErr);
void PlatFreeAddrList(PlatAddrList *pList);
// The resolver's text for a code of PlatResolve.
const char *PlatResolveErrorText(int nErr);

// A new stream socket of the family of the list's first address.
// kPlatNoSocket on failure.
PlatSocket PlatSocketFor(const PlatAddrList *pList);

// Binds s to the numeric address szAddr (of the socket's family) and the
// port.  A text that is not such an address is a failure.  1 done, -1 not.
int PlatBindLocal(PlatSocket s, const char *szAddr, int nPort);

// Connects s to the first address of the list, waiting at most nTimeoutMs
// (<= 0: 75 s).  The socket stays blocking.  1 connected; -1 failure with
// the reason in PlatLastError() (ETIMEDOUT when the wait ran out).
int PlatConnect(PlatSocket s, const PlatAddrList *pList, int nTimeoutMs);

// ---- Data connections (FTP data channel, ftp:// client) -------------------

// Resolver flags of PlatResolveAddr.
constexpr int kPlatResolveCanonName = 1;  // ask for the canonical name
constexpr int kPlatResolveNumeric = 2;    // the host must be a numeric address
constexpr int kPlatResolvePassive = 4;    // an address to listen on

// Resolves host and port text for stream sockets of nFamily (0 any,
// kFamilyIPv4, kFamilyIPv6) and copies the first result into *pAddr.
// 1 found; -1 failure with the resolver code in *pErr.
int PlatResolveAddr(const char *szHost, const char *szPort, uint32_t nFamily, int nFlags, PlatSockAddr *pAddr,
                    int *pErr);

// Numeric address text (inet_pton rules) and port to a socket address.
// The all-ones IPv4 text is refused, and so is IPv6 text with a port or
// scope part.  1 done; -1 refused (PlatLastError() EAFNOSUPPORT when the
// text is no address of either family).
int PlatMakeAddr(const char *szText, int nPort, PlatSockAddr *pAddr);

// A stream socket of the family (kFamilyIPv4 or kFamilyIPv6).
// kPlatNoSocket on failure.
PlatSocket PlatStreamSocket(uint32_t nFamily);

// Connects s to the address, waiting at most nTimeoutMs (<= 0: 75 s), as
// PlatConnect does.  1 connected; -1 failure (PlatLastError()).
int PlatConnectAddr(PlatSocket s, const PlatSockAddr *pAddr, int nTimeoutMs);

// A listening stream socket on a numeric address (resolved as a passive,
// numeric host; the family follows the text) and port, with address reuse.
// kListenOk and *pSock; kListenNoAddress the address does not resolve;
// kListenNoSocket, kListenBindFailed, kListenFailed: the step that failed
// (the socket is closed on failure).
int PlatListenAt(const char *szAddr, int nPort, int nBacklog, PlatSocket *pSock);

// A listening stream socket of nFamily on the any-address and nPort (0: the
// system chooses), with address reuse set.  nBacklog <= 0 means the
// system's maximum.
// kListenOk and *pSock; kListenNoSocket (also for an unknown family),
// kListenBindFailed, kListenFailed: the step that failed.
int PlatListenAny(uint32_t nFamily, int nPort, int nBacklog, PlatSocket *pSock);

// ---- Options, data, close --------------------------------------------------

// Send and receive time-outs in milliseconds; 0 leaves that option as it
// is; 1..499 become 500 (the shortest time-out the original platform knew).
void PlatSetSendTimeout(PlatSocket s, int nMs);
void PlatSetRecvTimeout(PlatSocket s, int nMs);
// Removes both time-outs again (blocking calls wait without limit).
void PlatClearTimeouts(PlatSocket s);

// Sends all nLen bytes (a closed peer is a failure, never a signal).
// Returns nLen, or -1 (what was sent before the failure is lost to the
// caller's count).
int PlatSend(PlatSocket s, const void *pData, int nLen);

// Waits at most nTimeoutMs (<= 0: kPlatDefaultWaitMs) until s is readable,
// then receives at most nSize bytes.  >0 bytes, 0 the peer closed, -1 error
// or time-out (PlatLastError() is ETIMEDOUT then).
constexpr int kPlatDefaultWaitMs = 300000;
int PlatRecv(PlatSocket s, char *pBuf, int nSize, int nTimeoutMs);
// The next PlatRecv on s on this thread tries without waiting first: the
// peer has most likely sent already (a client that was just accepted).
// When nothing is there it costs one attempt before the usual wait.
void PlatRecvTryFirst(PlatSocket s);

// Waits at most nTimeoutMs until s is readable (or closed).  1 readable,
// 0 time-out, -1 failure.
int PlatWaitReadable(PlatSocket s, int nTimeoutMs);

// Ends a connection in order: shutdown in both directions, then close.
// Bytes already handed to the kernel are still delivered.
void PlatShutdownClose(PlatSocket s);
// Sends small pieces at once (TCP_NODELAY): a header and a body sent one
// after the other must not wait for the peer's delayed acknowledgement.
void PlatSetNoDelay(PlatSocket s);
// Shuts both directions down without closing.
void PlatShutdown(PlatSocket s);
// Half-closes: no more sending (the peer reads the end of the stream, and
// can still send), or no more receiving (a wait or receive on s, also one
// running on another thread, ends at once with "closed").
void PlatShutdownSend(PlatSocket s);
void PlatShutdownReceive(PlatSocket s);
// Closes without shutdown (sockets that never carried data).
void PlatCloseSocket(PlatSocket s);

#endif  // PROXY_PLATFORM_PLAT_SOCKET_H_
