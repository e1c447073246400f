// UDPMain, TellRemoteUDP, UDPHost and SetAddr.
#include "socks/socks_udp.h"

#include <cstring>
#include <new>

#include "base/fixed_text.h"
#include "core/lists.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "net/outbound.h"
#include "net/data_port.h"
#include "net/http_io.h"
#include "platform/plat_time.h"
#include "platform/plat_udp.h"
#include "socks/socks.h"
#include "socks/socks_wire.h"

namespace {

int WaitLimit() { return g_nTmoClient > 0 ? g_nTmoClient : kPlatDefaultWaitMs; }

// 1 when the association's TCP connection is closed (or broken); bytes the
// client sends on it mean nothing and are dropped.
int AssociationClosed(PlatSocket nSock) {
  char scratch[512];
  while (PlatWaitReadable(nSock, 0) == 1) {
    if (PlatRecv(nSock, scratch, sizeof scratch, 1) <= 0) {
      DebugLogF("[UDPMain] [%04d] TCP connection closed: association ended.\n", nSock);
      return 1;
    }
  }
  return 0;
}

}  // namespace

int SetAddr(uint32_t nFamily, PlatSockAddr *pAddr, const char *szHost, int nPort) {
  memset(pAddr, 0, sizeof *pAddr);
  DebugLogF("[SetAddr] getaddrinfo(%s, %d)\n", szHost, nPort);
  const int bIPv6 = nFamily == kFamilyIPv6;
  if (PlatResolveDatagram(szHost, nPort, bIPv6, 0, pAddr, nullptr) == 1) return 1;
  return PlatResolveDatagram(szHost, nPort, bIPv6, 1, pAddr, nullptr) == 1 ? 1 : 0;
}

int UDPHost(uint32_t nFamily, const char *szHost, int nPort, PlatSockAddr *pAddr) {
  PlatSocket s = PlatUdpSocket(nFamily == kFamilyIPv6);
  if (s == kPlatNoSocket) {
    ConsoleF("[UDPHost] socket() failed Error\n");
    return -1;
  }
  if (SetAddr(nFamily, pAddr, szHost, nPort) != 1 || PlatBindTo(s, pAddr) != 1) {
    ConsoleF("[UDPHost] WSAGetLastError() = %d\n", PlatLastError());
    PlatCloseSocket(s);
    return -1;
  }
  return s;
}

namespace {

// Reads the SOCKS header of a client datagram and checks its destination
// against the black list ("local,socks,udp,host,port").  Fragments are not
// reassembled (RFC 1928 allows dropping them): such a datagram is dropped,
// like one whose header cannot be read.  1 the datagram may go on, 0 not.
int AllowedDatagram(const char *szTag, const char *szLocal, const char *pData, int nLen, SocksRequest *pHdr) {
  if (nLen <= 0 ||
      ParseSocksUdpHeader(reinterpret_cast<const unsigned char *>(pData), static_cast<std::size_t>(nLen), pHdr) != 1)
    return 0;
  FixedText<kDbListLine> key;
  key.Format("%s,socks,udp,%s,%d", szLocal, pHdr->mHost.c_str(), pHdr->nPort);
  if (WhiteBlackVerdict(key.c_str(), nullptr) == kListBlack) {
    DebugLogF("[%s] QueryDBList(Black list, %s) hit.\n", szTag, key.c_str());
    return 0;
  }
  return 1;
}

}  // namespace

int TellRemoteUDP(uint32_t nFamily, const char *szLocal, const char *pData, int nLen, char *pAnswer,
                  int *pnAnswerLen) {
  SocksRequest hdr;
  if (!AllowedDatagram("TellRemoteUDP", szLocal, pData, nLen, &hdr)) return 0;

  int nPort = GetDataPort(nFamily == kFamilyIPv4);
  DebugLogF("[TellRemoteUDP] UDPHost(%d, %s, %d)\n", static_cast<int>(nFamily), szLocal, nPort);
  if (nPort < 0) return 0;
  PlatSockAddr local;
  int s = UDPHost(nFamily, szLocal, nPort, &local);
  if (s < 0) return 0;

  int nResult = 0;
  const int nHeader = hdr.nHeaderLen;
  memcpy(pAnswer, pData, static_cast<std::size_t>(nHeader));
  PlatSetSendTimeout(s, g_nTmoClient);
  PlatSetRecvTimeout(s, g_nTmoClient);
  DebugLogF("[TellRemoteUDP] SetAddr(%d, %s, %d)\n", static_cast<int>(nFamily), hdr.mHost.c_str(), hdr.nPort);
  PlatSockAddr dest;
  if (SetAddr(nFamily, &dest, hdr.mHost.c_str(), hdr.nPort) == 1) {
    int nPayload = nLen - nHeader;
    int nSent = PlatSendTo(s, pData + nHeader, nPayload, &dest);
    if (nSent >= 0) {
      DebugLogF("[TellRemoteUDP] [%04d] UDP Data send Server ok. %u bytes.\n", s, static_cast<unsigned>(nSent));
      BinaryDump(s, pData + nHeader, static_cast<std::size_t>(nPayload));
      PlatSockAddr from;
      int nGot = PlatRecvFrom(s, pAnswer + nHeader, static_cast<int>(kSocksUdpBuf) - nHeader, WaitLimit(), &from);
      if (nGot >= 0) {
        DebugLogF("[TellRemoteUDP] [%04d] UDP Data recv Server ok. %u bytes.\n", s, static_cast<unsigned>(nGot));
        BinaryDump(s, pAnswer + nHeader, static_cast<std::size_t>(nGot));
        *pnAnswerLen = nHeader + nGot;
        nResult = 1;
      }
    }
  }
  PlatCloseSocket(s);
  return nResult;
}

int UDPMain(const EndpointRecord *pEp, ConnectionRecord *pRec) {
  EndpointRecord ep = *pEp;
  ConnectEntry entry;
  GetConnectTable(ep.mIP, static_cast<int>(pRec->nLocalPort), &entry);
  DebugLogF("[UDPMain] [%04d] mIP=%s, nPort=%d, Global-IP=%s\n", ep.nSock, ep.mIP, pRec->nSocksPort,
            entry.mMyAddr.c_str());
  const char *szAnnounced = entry.mMyAddr.Empty() ? ep.mIP : entry.mMyAddr.c_str();

  // The relay socket exists before the reply announces it, so a datagram
  // sent right after the reply is not lost; it listens on the port the
  // reply names.
  const char *szLocal = pRec->mLocalIP.c_str();
  const uint32_t nLocalFamily = strchr(szLocal, ':') ? kFamilyIPv6 : kFamilyIPv4;
  PlatSockAddr bound;
  int s = ep.nPort > 0 ? UDPHost(nLocalFamily, szLocal, ep.nPort, &bound) : -1;
  char reply[kSocksReplyMax];
  int nLen = BuildSocksAddrReply(5, s < 0 ? 1 : 0, pRec->nSocksAtyp, szAnnounced, ep.nPort, reply);
  BinaryDump(ep.nSock, reply, static_cast<std::size_t>(nLen));
  int nSent = PlatSend(ep.nSock, reply, nLen);
  if (s < 0 || nSent != nLen) {
    if (s >= 0) PlatCloseSocket(s);
    return 0;
  }
  PlatSetSendTimeout(s, g_nTmoClient);
  PlatSetRecvTimeout(s, g_nTmoClient);
  if (g_bUdpLasting) {
    UDPLastingMain(ep, pRec, s);
    PlatCloseSocket(s);
    return 0;
  }

  // One datagram from the client's own address; datagrams of anybody else
  // are not relayed.  The association lives only as long as its TCP
  // connection (RFC 1928): a close there ends it, also when a datagram is
  // waiting already.
  char datagram[kSocksUdpBuf];
  PlatSockAddr sender;
  int nGot = -1;
  const int64_t nEnd = PlatSteadyMs() + WaitLimit();
  for (;;) {
    int64_t nLeft = nEnd - PlatSteadyMs();
    if (nLeft <= 0) break;
    int w = PlatWaitEither(ep.nSock, s, static_cast<int>(nLeft));
    if (w == 1) {
      if (AssociationClosed(ep.nSock)) break;
      continue;
    }
    if (w != 2) break;
    nGot = PlatRecvFrom(s, datagram, sizeof datagram, 1, &sender);
    if (nGot < 0) break;
    char szFrom[kAddrTextSize] = "";
    PlatAddrText(&sender, szFrom, sizeof szFrom);
    if (strcmp(szFrom, ep.mSvIP) == 0) break;
    DebugLogF("[UDPMain] [%04d] UDP Data from %s ignored.\n", s, szFrom);
    nGot = -1;
  }
  if (nGot >= 0) {
    DebugLogF("[UDPMain] [%04d] UDP Data recv Client ok. %u bytes.\n", s, static_cast<unsigned>(nGot));
    MetricCount(kMetRequestSocksUdp);
    BinaryDump(s, datagram, static_cast<std::size_t>(nGot));
    char answer[kSocksUdpBuf];
    int nAnswer = 0;
    uint32_t nFamily = pRec->nSocksAtyp == 4 ? kFamilyIPv6 : kFamilyIPv4;
    if (TellRemoteUDP(nFamily, szLocal, datagram, nGot, answer, &nAnswer) == 1 && !AssociationClosed(ep.nSock)) {
      if (PlatSendTo(s, answer, nAnswer, &sender) >= 0) {
        DebugLogF("[UDPMain] [%04d] UDP Data send Client ok. %u bytes.\n", s, static_cast<unsigned>(nAnswer));
        BinaryDump(s, answer, static_cast<std::size_t>(nAnswer));
      }
    }
  }
  PlatCloseSocket(s);
  return 0;
}

namespace {

// Room kept in front of an answer for the SOCKS UDP header of an IPv6
// source: RSV (2), FRAG, ATYP, 16 address bytes, port (2).
constexpr int kUdpHeaderRoom = 22;

// The state of a lasting association.
struct UdpAssociation {
  PlatSockAddr client;                 // fixed by the first client datagram
  int bClient;
  PlatSocket sOut[2];                  // outbound sockets: IPv4, IPv6
  PlatSockAddr peers[kSocksUdpPeers];  // destinations the client sent to
  int nPeers;
  int nNextPeer;                       // the slot replaced when the table is full
  FixedText<256> mLastHost;            // the last destination resolved, so a flow
  int nLastPort;                       // to one name is not looked up per datagram
  uint32_t nLastFamily;
  PlatSockAddr lastDest;
  char mBuf[kSocksUdpLastingBuf];
};

bool SameEndpoint(const PlatSockAddr &a, const PlatSockAddr &b) {
  char szA[kAddrTextSize] = "", szB[kAddrTextSize] = "";
  return PlatAddrFamily(&a) == PlatAddrFamily(&b) && PlatAddrPort(&a) == PlatAddrPort(&b) &&
         PlatAddrText(&a, szA, sizeof szA) == 1 && PlatAddrText(&b, szB, sizeof szB) == 1 && strcmp(szA, szB) == 0;
}

void RememberPeer(UdpAssociation *pA, const PlatSockAddr &dest) {
  for (int i = 0; i < pA->nPeers; ++i)
    if (SameEndpoint(pA->peers[i], dest)) return;
  pA->peers[pA->nNextPeer] = dest;
  pA->nNextPeer = (pA->nNextPeer + 1) % kSocksUdpPeers;
  if (pA->nPeers < kSocksUdpPeers) ++pA->nPeers;
}

bool KnownPeer(const UdpAssociation *pA, const PlatSockAddr &from) {
  for (int i = 0; i < pA->nPeers; ++i)
    if (SameEndpoint(pA->peers[i], from)) return true;
  return false;
}

// One datagram on the relay socket: from the client's address only, then
// the header, the lists and the destination; the payload goes out from
// the outbound socket of the destination's family.  1 relayed, 0 dropped.
int RelayClientDatagram(UdpAssociation *pA, const EndpointRecord &ep, const char *szLocal, PlatSocket sRelay) {
  PlatSockAddr sender;
  int nGot = PlatRecvFrom(sRelay, pA->mBuf, static_cast<int>(kSocksUdpLastingBuf), 1, &sender);
  if (nGot < 0) return 0;
  char szFrom[kAddrTextSize] = "";
  PlatAddrText(&sender, szFrom, sizeof szFrom);
  // RFC 1928: datagrams from any other address than the client's are
  // dropped; the first one fixes the client's port as well.
  if (strcmp(szFrom, ep.mSvIP) != 0 || (pA->bClient && !SameEndpoint(pA->client, sender))) {
    DebugLogF("[UDPLastingMain] [%04d] UDP Data from %s ignored.\n", sRelay, szFrom);
    return 0;
  }
  pA->client = sender;
  pA->bClient = 1;
  DebugLogF("[UDPLastingMain] [%04d] UDP Data recv Client ok. %u bytes.\n", sRelay, static_cast<unsigned>(nGot));
  MetricCount(kMetRequestSocksUdp);
  MetricBytes(kMetBytesFromClient, nGot);

  SocksRequest hdr;
  if (!AllowedDatagram("UDPLastingMain", szLocal, pA->mBuf, nGot, &hdr)) return 0;

  const uint32_t nFamily = hdr.nAtyp == 4 ? kFamilyIPv6 : kFamilyIPv4;
  PlatSocket &sOut = pA->sOut[nFamily == kFamilyIPv6 ? 1 : 0];
  if (sOut == kPlatNoSocket) {
    int nPort = GetDataPort(nFamily == kFamilyIPv4);
    DebugLogF("[UDPLastingMain] UDPHost(%d, %s, %d)\n", static_cast<int>(nFamily), szLocal, nPort);
    PlatSockAddr local;
    if (nPort < 0 || (sOut = UDPHost(nFamily, szLocal, nPort, &local)) < 0) {
      sOut = kPlatNoSocket;
      return 0;
    }
    PlatSetSendTimeout(sOut, g_nTmoClient);
  }
  if (pA->nLastPort != hdr.nPort || pA->nLastFamily != nFamily || strcmp(pA->mLastHost.c_str(), hdr.mHost.c_str())) {
    pA->nLastPort = 0;
    if (SetAddr(nFamily, &pA->lastDest, hdr.mHost.c_str(), hdr.nPort) != 1) return 0;
    pA->mLastHost = hdr.mHost;
    pA->nLastPort = hdr.nPort;
    pA->nLastFamily = nFamily;
  }
  const PlatSockAddr &dest = pA->lastDest;
  int nPayload = nGot - hdr.nHeaderLen;
  int nSent = PlatSendTo(sOut, pA->mBuf + hdr.nHeaderLen, nPayload, &dest);
  if (nSent < 0) return 0;
  DebugLogF("[UDPLastingMain] [%04d] UDP Data send Server ok. %u bytes.\n", sOut, static_cast<unsigned>(nSent));
  MetricBytes(kMetBytesToServer, nSent);
  RememberPeer(pA, dest);
  return 1;
}

// One datagram on an outbound socket: from a destination the client has
// sent to, it goes to the client behind a header naming that destination.
// 1 relayed, 0 dropped.
int RelayServerDatagram(UdpAssociation *pA, PlatSocket sOut, PlatSocket sRelay) {
  PlatSockAddr from;
  char *pPayload = pA->mBuf + kUdpHeaderRoom;
  int nGot = PlatRecvFrom(sOut, pPayload, static_cast<int>(kSocksUdpLastingBuf) - kUdpHeaderRoom, 1, &from);
  if (nGot < 0) return 0;
  char szFrom[kAddrTextSize] = "";
  PlatAddrText(&from, szFrom, sizeof szFrom);
  if (!KnownPeer(pA, from)) {
    DebugLogF("[UDPLastingMain] [%04d] UDP Data from %s ignored.\n", sOut, szFrom);
    return 0;
  }
  DebugLogF("[UDPLastingMain] [%04d] UDP Data recv Server ok. %u bytes.\n", sOut, static_cast<unsigned>(nGot));
  MetricBytes(kMetBytesFromServer, nGot);
  // The UDP request header (RSV RSV FRAG ATYP ADDR PORT) has the layout of
  // a SOCKS 5 reply (VER REP RSV ATYP ADDR PORT) with its first two bytes 0.
  char hdr[kSocksReplyMax];
  int nAtyp = PlatAddrFamily(&from) == kFamilyIPv6 ? 4 : 1;
  int nHeader = BuildSocksAddrReply(5, 0, nAtyp, szFrom, static_cast<int>(PlatAddrPort(&from)), hdr);
  hdr[0] = hdr[1] = 0;
  char *pAnswer = pPayload - nHeader;
  memcpy(pAnswer, hdr, static_cast<std::size_t>(nHeader));
  int nSent = PlatSendTo(sRelay, pAnswer, nHeader + nGot, &pA->client);
  if (nSent < 0) return 0;
  DebugLogF("[UDPLastingMain] [%04d] UDP Data send Client ok. %u bytes.\n", sRelay, static_cast<unsigned>(nSent));
  MetricBytes(kMetBytesToClient, nSent);
  return 1;
}

}  // namespace

int UDPLastingMain(const EndpointRecord &ep, ConnectionRecord *pRec, PlatSocket sRelay) {
  UdpAssociation *pA = new (std::nothrow) UdpAssociation;
  if (!pA) return 0;
  pA->bClient = 0;
  pA->sOut[0] = pA->sOut[1] = kPlatNoSocket;
  pA->nPeers = pA->nNextPeer = 0;
  pA->mLastHost.Clear();
  pA->nLastPort = 0;
  pA->nLastFamily = 0;
  const char *szLocal = pRec->mLocalIP.c_str();
  const int nIdleMs = WaitLimit();
  int64_t nLastTraffic = PlatSteadyMs();
  const char *szEnd = "idle";
  for (;;) {
    int64_t nLeft = nLastTraffic + nIdleMs - PlatSteadyMs();
    if (nLeft <= 0) break;
    const PlatSocket socks[4] = {ep.nSock, sRelay, pA->sOut[0], pA->sOut[1]};
    unsigned nReady = 0;
    int r = PlatWaitAny(socks, 4, static_cast<int>(nLeft), &nReady);
    if (r < 0) {
      szEnd = "wait failed";
      break;
    }
    if (nReady & 1u) {
      // Nothing more is defined on the TCP connection; it only says how
      // long the association lasts.  Stray bytes are read and dropped.
      char scratch[256];
      if (PlatRecv(ep.nSock, scratch, sizeof scratch, 1) <= 0) {
        szEnd = "TCP closed";
        break;
      }
    }
    if ((nReady & 2u) && RelayClientDatagram(pA, ep, szLocal, sRelay)) nLastTraffic = PlatSteadyMs();
    for (int i = 0; i < 2; ++i)
      if ((nReady & (4u << i)) && RelayServerDatagram(pA, pA->sOut[i], sRelay)) nLastTraffic = PlatSteadyMs();
  }
  DebugLogF("[UDPLastingMain] [%04d] association ended (%s).\n", ep.nSock, szEnd);
  for (PlatSocket s : pA->sOut)
    if (s != kPlatNoSocket) PlatCloseSocket(s);
  delete pA;
  return 0;
}
