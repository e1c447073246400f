// Every size the program keeps in fixed-size buffers, in one place.
#ifndef PROXY_BASE_LIMITS_H_
#define PROXY_BASE_LIMITS_H_

#include <cstddef>

// Listen-address list: up to 1,023 characters of NUL-separated entries.
constexpr std::size_t kListenListSize = 1024;
// The data folder and every file path built from it (the path limit, 259
// characters, plus the NUL).
constexpr std::size_t kPathSize = 260;
// Every other text setting (environment name, upstream, backup folder...).
constexpr std::size_t kSettingSize = 256;
// One debug-log line as written, time stamp included; longer lines are cut.
constexpr std::size_t kLogLineSize = 16384 + 512;
// Line buffers of the list files.
constexpr std::size_t kDbListLine = 4096;     // black.db, white.db
constexpr std::size_t kConListLine = 512;     // permission lists
constexpr std::size_t kShortListLine = 256;   // client white list, zip, mask
constexpr std::size_t kSocksPtlLine = 255;    // socks-ptl.ini
constexpr std::size_t kSettingsLine = 1024;   // settings file, LDAP settings
// One receive from a peer, and the receive buffer (zero-filled and so always
// NUL-terminated).
constexpr std::size_t kRecvChunk = 16384;
constexpr std::size_t kRecvBufSize = 16387;
constexpr std::size_t kLineBufSize = 16392;
// Access-log fields read from the request spool file.
constexpr std::size_t kAccessField = 2048;

// Inspection services: request and reply buffers of the virus, spam and
// compression services (521 bytes) and of the HTTP content filter (1,041),
// and the longest file name a request carries.
constexpr std::size_t kScanReplySize = 521;
constexpr std::size_t kHttpScanReplySize = 1041;
constexpr std::size_t kScanNameCut = 260;
// Longest wait for an inspection service's reply once the request is
// written, and for a busy service to take the call; afterwards the content
// passes as clean and a line is logged.
constexpr int kScanReplyTimeoutMs = 120000;
constexpr int kScanBusyTimeoutMs = 120000;
// Pause between two calls to a busy service.
constexpr int kScanBusyPauseMs = 10;

// Mail and FTP-control relay: one command or reply line (16,383
// characters) with its NUL.
constexpr std::size_t kRelayLineSize = 16384;
// Longest wait for a hand-off file of another thread (the SOCKS data
// direction file); afterwards the connection ends as if the peer closed.
constexpr int kRelayHandOffWaitMs = 30000;

// HTTP proxy.
// Host text, URL text and the request-line copy: one request line.
constexpr std::size_t kHttpTextSize = 16392;
// List key: local address, verb, "tcp", host text and port.
constexpr std::size_t kHttpListKeySize = kHttpTextSize + 160;
// Response spool names: data folder, "cache/", socket, a path of at most
// 200 characters, "_index.html" and the longest suffix (".cash").
constexpr std::size_t kSpoolPathSize = kPathSize + 320;
// Longest path part that names a response spool file.
constexpr std::size_t kSpoolLinkMax = 200;
// FTP URL parts: user, password, directory and file name.
constexpr std::size_t kFtpPartSize = 256;
// One piece of a response or request moved between socket and file.
constexpr std::size_t kHttpPiece = 16384;
// Delivery pieces from a file to the client.
constexpr std::size_t kHttpSendPiece = 16385;
// Write buffer of a response spool file (pieces are gathered into 64 KiB
// writes).
constexpr std::size_t kSpoolWriteBuffer = 65536;
// The composed request goes to the server with one send of at most this.
constexpr std::size_t kHttpRequestSendMax = 16304;
// Responses announced larger than this are passed on while they arrive.
constexpr unsigned long long kHttpPassOnSize = 2097152;
// Rewritten response header (one send).
constexpr std::size_t kHttpHeaderOut = 16384;
// Notification page template.
constexpr std::size_t kPageTemplateSize = 20480;
// HTTP cache key text.
constexpr std::size_t kCacheKeySize = 1024;

// FTP client of ftp:// URLs.
// One reply line as kept (longer lines are cut; the rest is skipped).
constexpr std::size_t kFtpReplyLine = 4096;
// A reply longer than this (an endless multi-line reply) is a failure.
constexpr std::size_t kFtpReplyMax = 1048576;
// The decoded URL path and its code-page form.
constexpr std::size_t kFtpPathSize = 512;
// Once the data connection has ended, the completion reply must arrive
// within this time.
constexpr int kFtpFinalReplyGraceMs = 30000;
// FTP proxy: longest wait for a data thread's status file, and for the
// data thread to take a previous request flag file, before the transfer
// counts as a failed data connection.
constexpr int kFtpHandOffWaitMs = 10000;
// A received data chunk up to this size is also written to the debug log.
constexpr int kFtpDataLogMax = 256;

// SOCKS proxy.
// Longest negotiation message collected from a client (one receive buffer).
constexpr std::size_t kSocksMsgMax = 16384;
// Longest SOCKS reply: 4-byte header, length octet, 255-byte name, port.
constexpr std::size_t kSocksReplyMax = 262;
// A hex dump in the debug log is cut at this many characters.
constexpr std::size_t kBinaryDumpMax = 1000;
// Datagrams of UDP ASSOCIATE: the client's datagram and the answer built
// for it.
constexpr std::size_t kSocksUdpBuf = 1024;
// A lasting association (-Y=1) carries datagrams of any size UDP allows
// (QUIC needs at least 1,200 bytes), and answers from at most this many
// destinations the client has sent to (the oldest is forgotten first).
constexpr std::size_t kSocksUdpLastingBuf = 65536;
constexpr int kSocksUdpPeers = 64;
// Longest wait of a BIND for its incoming connection when no client
// time-out is set.
constexpr int kSocksBindWaitMs = 300000;

// Directory logon: every LDAP setting text and every part of a logon
// request (server, user, domain, password, bind name) holds at most 255
// characters.
constexpr std::size_t kLdapTextSize = 256;
// Longest wait of one directory operation (connect, then each answer), so a
// server that accepts and stays silent cannot hold a connection for ever.
constexpr int kLdapWaitMs = 10000;
// DNS block lists: the client text used by the admission check, the zone
// and white-list lines (510 characters), and a whole query name.
constexpr std::size_t kDnsblClientSize = 65;
constexpr std::size_t kDnsblLine = 511;
constexpr std::size_t kDnsblQuerySize = 1024;
// Destination host text of the SURBL check (256 characters).
constexpr std::size_t kSurblHostSize = 257;
// Per query sent to one named DNS server: seconds per try, and tries.
constexpr int kDnsServerWaitSec = 2;
constexpr int kDnsServerTries = 2;

// Metrics listener (-H): the longest request head read from a scraper, the
// longest wait for it, and the room of the rendered metrics text.
constexpr std::size_t kMetricsRequestMax = 4096;
constexpr int kMetricsRequestWaitMs = 5000;
constexpr std::size_t kMetricsTextSize = 32768;

// Pause unit of the retried thread starts and connects: the n-th pause
// lasts n units (100, 200, 300 ms ...).
constexpr int kRetryStepMs = 100;

// Files as the medium: hand-off files are polled, and spool files that a
// reader may still hold are retried, every kFilePollMs.  Replacing a spool
// file by a rewritten copy is tried kSpoolCopyAttempts times (a minute).
constexpr int kFilePollMs = 50;
constexpr unsigned kSpoolCopyAttempts = 1200;

#endif  // PROXY_BASE_LIMITS_H_
