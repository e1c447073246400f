// The plain records that carry a connection: the endpoint record
// (core/endpoint_record.h) and the per-client connection record (allocated
// zero-filled by the listener, owned by the connection thread, freed by
// CloseClient).  Types only; no behaviour.
#ifndef PROXY_NET_CONNECTION_RECORD_H_
#define PROXY_NET_CONNECTION_RECORD_H_

#include <cstdint>
#include <type_traits>

#include "base/fixed_text.h"
#include "base/limits.h"
#include "core/endpoint_record.h"

struct ConnectionRecord {
  int32_t bKeepAlive;          // client exchange stays open; server may be reused
  int32_t nSvSock;             // open server connection, -1 when none
  FixedText<256> mSvHost;      // host nSvSock is connected to
  int32_t bPassThrough;        // relay without inspection
  int32_t bSvStartTls;         // connect-table "-": STARTTLS towards the server
  void *pClientCtx;            // TLS context, client side (null: plain)
  void *pClientSSL;            // TLS session on the client socket (null: plain)
  int32_t bSvTls;              // connect-table "+": TLS to the server from byte one
  int32_t bSvNoVerify;         // connect-table "!": the server's certificate is not checked
  void *pServerCtx;            // TLS context, server side
  void *pServerSSL;            // TLS session on the server socket
  uint32_t nFamily;            // 2 IPv4, 23 IPv6
  int32_t nSock;               // client socket; 0 once CloseClient closed it
  unsigned char sinLocal6[28]; // local address of an IPv6 accept
  unsigned char sinLocal4[16]; // local address of an IPv4 accept
  int32_t nLocalAddrLen;
  void *pAddrInfo;             // transient resolver result; CloseClient frees it
  int32_t nSocksState;         // SOCKS version being answered, -1 at start
  int32_t nSocksAtyp;          // 1 IPv4, 3 domain, 4 IPv6
  int32_t nSocksAddrLen;
  int32_t nSocksPort;
  int32_t nRelayProto;         // SOCKS protocol class, -1 none
  int32_t nLogStatus;          // status of the answer just sent (access log)
  uint64_t nLogBytes;          // bytes sent for that answer (64-bit: answers and tunnels may pass 4 GiB)
  int32_t nExchangeKind;       // 1 tunnel, 2 request/response
  FixedText<256> mMailFile;    // base name of this connection's mail spool
  FixedText<512> mHostDomain;  // this host's fully qualified name
  FixedText<256> mLocalName;   // reverse name of mLocalIP
  FixedText<65> mLocalIP;      // local address the client connected to
  FixedText<67> mClientIP;     // client address text
  uint32_t bClientIPv4;        // mClientIP contains "." or is empty
  int32_t bMyAddrIPv4;         // mMyAddr contains "." or is empty
  uint32_t nLocalPort;         // local port (host order)
  FixedText<256> mClientHost;  // client address, then its reverse name
  FixedText<521> mReqFile;     // request spool file of this connection
  uint32_t nEffProto;          // -1 at thread start; SOCKS: as nRelayProto
  int32_t bConnTable;          // SOCKS destination has a connect-table entry
  int32_t bZipAttach;          // local address:port is on the zip list
  int32_t bTlsAccept;          // implicit-TLS listener: the handshake is still to run (connection thread)
  // Relay fields of the mail and FTP-control relay, reset by TelnetDispatch.
  // mMailFile holds the current mail's identifier (mailId).
  int32_t ftpPortPending;      // a PORT/EPRT was forwarded, data connection not finished
  int32_t ftpPasvPending;      // a passive reply was forwarded, data connection not finished
  int32_t ftpDataOk;           // the last FTP data connection succeeded
  int32_t ftpDataPort;         // the proxy's data port of the pending transfer
  int32_t mailState;           // SMTP transaction phase / IMAP command kind
  int32_t imapContinuation;    // the IMAP server asked for literal data
  int64_t nImapLiteral;        // size of the literal the client sends next
  // STARTTLS mediation.
  int32_t offerStartTls, serverStartTls, tlsPhase, clientStartTls, clientTlsPending;
  int32_t clientTlsUp, serverAcceptedStartTls, serverTlsUp, heloUpgraded;
  int32_t nClientCarry;        // client bytes received after the command in hand
  // The HTTP request in hand when memory holds all of its spool file (the
  // header of a request without a body), else null: the handlers read it
  // there instead of from the file.
  const char *pReqText;
  std::size_t nReqText;
  void *pClientCtxCopy, *pClientSSLCopy, *pServerCtxCopy, *pServerSSLCopy;
  // Texts an idle connection does not write (the server side, TLS files,
  // the SOCKS request, the relays): after the fields above, which with the
  // ones before them fit in the record's first page, the only one an idle
  // client's connection makes resident.
  FixedText<256> mSvName;      // server really connected (TLS name check and SNI)
  FixedText<261> mCertFile;    // certificate of a TLS listener
  FixedText<263> mKeyFile;     // private key of a TLS listener
  FixedText<256> mSocksHost;
  char mSocksReply[262];       // longest SOCKS reply fits without spilling
  FixedText<264> mSocksTarget; // "host port" of the SOCKS destination (name up to 255)
  FixedText<256> mMyAddr;      // MyAddr of the connect-table entry last used
  FixedText<256> ftpDir;       // current FTP directory ("/"-separated)
  FixedText<256> ftpFlagFile;  // the data channel's hand-off flag file
  FixedText<1024> ftpUser;     // the FTP user name (USER), part of the FTP cache key
  FixedText<1024> mailFrom;    // reverse path
  FixedText<1024> rcptLine;    // the last recipient command line
  FixedText<kScanReplySize> mZipResult;  // reply of the attachment compressor
  FixedText<256> savedEhlo;    // the client's EHLO, repeated after the server's TLS is up
  // The large buffers come last: the record's pages take memory only once
  // written (it is allocated in pages of its own), and an idle connection
  // writes none of these.
  char mLine[kLineBufSize];    // header-line buffer
  char mWork[kLineBufSize];    // work buffer
  FixedText<kRelayLineSize> lastCommand;  // the client's last command, no line end
  FixedText<kRelayLineSize> imapTag;  // the client's IMAP tag and one blank
  char serverReply[kRecvChunk + 1];    // last server reply read
  char clientCommand[kRecvChunk + 1];  // last client command read
  char mClientCarry[kRecvChunk];
  char mRecv[kRecvBufSize];    // receive buffer, NUL-terminated after each receive
};

static_assert(std::is_trivially_copyable_v<ConnectionRecord>);

#endif  // PROXY_NET_CONNECTION_RECORD_H_
