// The SOCKS 4, 4a and 5 wire formats: when a client message is complete,
// what it asks for, and the bytes of every reply the proxy sends.  Pure
// functions over byte buffers; the negotiation (socks_negotiate.cpp) does
// the talking.
//
//  SOCKS 4 / 4a request            SOCKS 5 greeting        SOCKS 5 request
//  +----+----+----+----+----+--    +----+----+--------+    +----+-----+-----+------+------+------+
//  | VN | CD | DSTPORT | DSTIP |   |VER |NMTH| METHODS|    |VER | CMD | RSV | ATYP | ADDR | PORT |
//  | 4  |    |  2 (BE) |   4   |   | 5  | 1  | NMTH   |    | 5  |  1  |  0  |  1   | var  |  2   |
//  +----+----+---------+-------+   +----+----+--------+    +----+-----+-----+------+------+------+
//  then USERID NUL, and for 4a (DSTIP 0.0.0.x, x != 0) HOSTNAME NUL.
//  ATYP 1: 4 address bytes; 3: length octet and name; 4: 16 address bytes.
#ifndef PROXY_SOCKS_SOCKS_WIRE_H_
#define PROXY_SOCKS_SOCKS_WIRE_H_

#include <cstddef>

#include "base/fixed_text.h"
#include "base/limits.h"

// What a SOCKS request (or the header of a client datagram) asks for.
struct SocksRequest {
  int nVersion;            // 4 or 5
  int nCmd;                // 1 CONNECT, 2 BIND, 3 UDP ASSOCIATE, other: unsupported
  int nAtyp;               // 1 IPv4, 3 domain name, 4 IPv6 (SOCKS 4: 1)
  int nAddrLen;            // address-plus-port bytes: 6, name length + 3, 18
  int nPort;               // destination port
  int bUserIdEmpty;        // SOCKS 4: the user ID is empty
  int nHeaderLen;          // bytes of the request (datagram: of its header)
  FixedText<256> mHost;    // destination address text
  FixedText<264> mTarget;  // "host port" for the relay (a 255-byte name, a blank, 5 digits)
};

// Completeness of a message.  Every one returns the length of the complete
// message (bytes beyond it belong to the next one), 0 when more bytes are
// needed, -1 when it can never be valid (wrong version, unknown address
// type, or a message that outgrew kSocksMsgMax without being complete).
//
// Greeting: SOCKS 4 needs the user ID's NUL, and for 4a the host name's
// NUL; SOCKS 5 needs VER, NMETHODS and every method.
int SocksGreetingComplete(const unsigned char *p, std::size_t n);
// Username/password message: VER, ULEN, UNAME, PLEN, PASSWD.
int SocksAuthComplete(const unsigned char *p, std::size_t n);
// SOCKS 5 request: 10 bytes for ATYP 1, name length + 7 for ATYP 3, 22 for
// ATYP 4.
int Socks5RequestComplete(const unsigned char *p, std::size_t n);

// Reads a complete SOCKS 4/4a request.  The destination address text is
// the dotted DSTIP; the target is "host port" with the 4a host name when
// there is one.  1 done; -1 the host name is empty or longer than 255
// bytes, or the target does not fit.
int ParseSocks4Request(const unsigned char *p, std::size_t n, SocksRequest *pReq);

// Reads a complete SOCKS 5 request.  1 done; -1 for an empty name, a name
// holding a NUL byte, or a target that does not fit (a cut target would
// connect to another port).
int ParseSocks5Request(const unsigned char *p, std::size_t n, SocksRequest *pReq);

// The method the proxy answers to a complete SOCKS 5 greeting: at the first
// offered method 0 or 2, 2 when bAuth is set and 0 otherwise; 0xFF when
// neither is offered.
int ChooseSocks5Method(const unsigned char *p, std::size_t n, int bAuth);

// "user:password" of a complete username/password message.  1 done; -1
// when a part holds a NUL byte (the text would name another user).
int ParseSocksAuth(const unsigned char *p, std::size_t n, char *pOut, std::size_t nOut);

// Header of a client datagram (RSV 2, FRAG, ATYP, address, port).
// 1 read (nHeaderLen, host, port filled); 0 a fragment (FRAG not 0);
// -1 short, unknown address type or unusable name.
int ParseSocksUdpHeader(const unsigned char *p, std::size_t n, SocksRequest *pReq);

// The reply header for a request kept in pReq (its raw bytes): SOCKS 5:
// 0x05, code byte 0, 0x00, ATYP, then the request's nAddrLen address-plus-
// port bytes; SOCKS 4: 0x00, code 0, the request's port and IPv4 address.
// Returns the reply length (4 + nAddrLen or 8); pOut holds kSocksReplyMax.
int BuildSocksReplyHeader(const unsigned char *pReq, int nVersion, int nAddrLen, char *pOut);

// The refusal reply of the relay: SOCKS 5: 0x05, code, 0x00, 0x01 and six
// zero bytes; SOCKS 4: 0x00, code and six zero bytes.  Returns 10 or 8.
int BuildSocksRefusal(int nVersion, int nCode, char *pOut);

// A reply that names an own address and port (BIND, UDP ASSOCIATE).
// SOCKS 4: 0x00, code, port, the four numbers of szAddr (missing parts 0).
// SOCKS 5: 0x05, code, 0x00, nAtyp, then szAddr in that form (1: four
// numbers; 3: length octet and text; 4: 16 bytes of the IPv6 text, zeros
// when it is none) and the port.  Returns the length.
int BuildSocksAddrReply(int nVersion, int nCode, int nAtyp, const char *szAddr, int nPort, char *pOut);

// The eight-group form of an IPv6 address: "0000:0000:...:0001".
void FormatSocksIPv6(const unsigned char *p16, char *pOut, std::size_t nOut);

// The hex dump of BinaryDump as text: "[BinaryDump] [%04d]\n", then per 16
// bytes two blanks and "%02x " per byte and "\n"; cut at kBinaryDumpMax
// characters.  Returns the text length.
std::size_t FormatBinaryDump(int nSock, const void *pData, std::size_t nLen, char *pOut, std::size_t nOut);

#endif  // PROXY_SOCKS_SOCKS_WIRE_H_
