// UDPMain, TellRemoteUDP, UDPHost and SetAddr.
#include "socks/socks_udp.h"

#include <cstring>

#include "core/fixed_text.h"
#include "core/lists.h"
#include "core/log.h"
#include "core/settings.h"
#include "front/outbound.h"
#include "ftp/data_port.h"
#include "http/http_io.h"
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

int TellRemoteUDP(uint32_t nFamily, const char *szLocal, const char *pData, int nLen, char *pAnswer,
                  int *pnAnswerLen) {
  SocksRequest hdr;
  // Fragments are not reassembled: such a datagram is dropped, like one
  // whose header cannot be read.
  if (nLen <= 0 || ParseSocksUdpHeader(reinterpret_cast<const unsigned char *>(pData), static_cast<std::size_t>(nLen),
                                       &hdr) != 1)
    return 0;

  FixedText<kDbListLine> key;
  key.Format("%s,socks,udp,%s,%d", szLocal, hdr.mHost.c_str(), hdr.nPort);
  FixedText<kPathSize> white, black;
  white.Format("%swhite.db", g_szDataDir.c_str());
  black.Format("%sblack.db", g_szDataDir.c_str());
  if (QueryDBList(white.c_str(), key.c_str(), nullptr) != 1 && QueryDBList(black.c_str(), key.c_str(), nullptr) == 1) {
    DebugLogF("[TellRemoteUDP] QueryDBList(Black list, %s) hit.\n", key.c_str());
    return 0;
  }

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
