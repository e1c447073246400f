#include "socks/socks_wire.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/plat_udp.h"

namespace {

int Port(const unsigned char *p) { return (p[0] << 8) | p[1]; }

// A message that grew to the collection limit and is still not complete
// will never be: the client is not speaking SOCKS.
int MoreOrNever(std::size_t n) { return n >= kSocksMsgMax ? -1 : 0; }

void ClearRequest(SocksRequest *pReq) {
  memset(pReq, 0, sizeof *pReq);
}

// Destination address text and target of an address part.  pAddr points at
// the address bytes (for ATYP 3 at the length octet).  1 done, -1 unusable.
int ReadAddress(int nAtyp, const unsigned char *pAddr, SocksRequest *pReq) {
  pReq->nAtyp = nAtyp;
  if (nAtyp == 1) {
    pReq->mHost.Format("%u.%u.%u.%u", pAddr[0], pAddr[1], pAddr[2], pAddr[3]);
    pReq->nPort = Port(pAddr + 4);
    pReq->nAddrLen = 6;
  } else if (nAtyp == 3) {
    std::size_t nName = pAddr[0];
    // An empty name names nothing; a NUL inside would make the text name
    // another host than the bytes.
    if (nName == 0 || memchr(pAddr + 1, 0, nName) != nullptr) return -1;
    pReq->mHost.Assign(std::string_view(reinterpret_cast<const char *>(pAddr + 1), nName));
    pReq->nPort = Port(pAddr + 1 + nName);
    pReq->nAddrLen = static_cast<int>(nName) + 3;
  } else if (nAtyp == 4) {
    FormatSocksIPv6(pAddr, pReq->mHost.data(), 256);
    pReq->nPort = Port(pAddr + 16);
    pReq->nAddrLen = 18;
  } else {
    return -1;
  }
  // A cut target would send the relay to port 80 or to another host.
  return pReq->mTarget.Format("%s %u", pReq->mHost.c_str(), static_cast<unsigned>(pReq->nPort)) ? 1 : -1;
}

// Length of an address part by type (the name length read at pAddr), or -1.
int AddressPartLen(int nAtyp, const unsigned char *pAddr, std::size_t nAvail) {
  if (nAtyp == 1) return 6;
  if (nAtyp == 4) return 18;
  if (nAtyp == 3) return nAvail < 1 ? 0 : pAddr[0] + 3;
  return -1;
}

}  // namespace

int SocksGreetingComplete(const unsigned char *p, std::size_t n) {
  if (n == 0) return 0;
  if (p[0] == 4) {
    // VN CD PORT(2) IP(4) USERID NUL [HOST NUL]
    if (n < 9) return MoreOrNever(n);
    const unsigned char *pEnd = static_cast<const unsigned char *>(memchr(p + 8, 0, n - 8));
    if (pEnd == nullptr) return MoreOrNever(n);
    std::size_t nAfter = static_cast<std::size_t>(pEnd - p) + 1;
    bool b4a = p[4] == 0 && p[5] == 0 && p[6] == 0 && p[7] != 0;
    if (!b4a) return static_cast<int>(nAfter);
    const unsigned char *pHostEnd =
        nAfter < n ? static_cast<const unsigned char *>(memchr(p + nAfter, 0, n - nAfter)) : nullptr;
    if (pHostEnd != nullptr) return static_cast<int>(pHostEnd - p) + 1;
    return MoreOrNever(n);
  }
  if (p[0] == 5) {
    if (n < 2 || n < 2u + p[1]) return MoreOrNever(n);
    return 2 + p[1];
  }
  return -1;
}

int SocksAuthComplete(const unsigned char *p, std::size_t n) {
  if (n < 2) return 0;
  std::size_t nUser = p[1];
  if (n < 3 + nUser) return 0;
  std::size_t nPass = p[2 + nUser];
  return n >= 3 + nUser + nPass ? static_cast<int>(3 + nUser + nPass) : 0;
}

int Socks5RequestComplete(const unsigned char *p, std::size_t n) {
  if (n >= 1 && p[0] != 5) return -1;
  if (n < 4) return 0;
  int nPart = AddressPartLen(p[3], p + 4, n - 4);
  if (nPart < 0) return -1;
  if (nPart == 0 || n < 4u + static_cast<unsigned>(nPart)) return MoreOrNever(n);
  return 4 + nPart;
}

int ParseSocks4Request(const unsigned char *p, std::size_t n, SocksRequest *pReq) {
  ClearRequest(pReq);
  pReq->nVersion = 4;
  pReq->nCmd = p[1];
  pReq->nAtyp = 1;
  pReq->nAddrLen = 6;
  pReq->nPort = Port(p + 2);
  pReq->mHost.Format("%u.%u.%u.%u", p[4], p[5], p[6], p[7]);
  std::size_t nUser = strnlen(reinterpret_cast<const char *>(p + 8), n - 8);
  pReq->bUserIdEmpty = nUser == 0;
  pReq->nHeaderLen = static_cast<int>(8 + nUser + 1);
  bool b4a = p[4] == 0 && p[5] == 0 && p[6] == 0 && p[7] != 0;
  if (!b4a) {
    return pReq->mTarget.Format("%s %u", pReq->mHost.c_str(), static_cast<unsigned>(pReq->nPort)) ? 1 : -1;
  }
  // SOCKS 4a: the host name follows the NUL that ends the user ID.
  std::size_t nAt = 8 + nUser + 1;
  if (nAt >= n) return -1;
  std::size_t nName = strnlen(reinterpret_cast<const char *>(p + nAt), n - nAt);
  if (nName == 0 || nName > 255 || nAt + nName >= n) return -1;
  pReq->nHeaderLen = static_cast<int>(nAt + nName + 1);
  FixedText<256> name;
  name.Assign(std::string_view(reinterpret_cast<const char *>(p + nAt), nName));
  return pReq->mTarget.Format("%s %u", name.c_str(), static_cast<unsigned>(pReq->nPort)) ? 1 : -1;
}

int ParseSocks5Request(const unsigned char *p, std::size_t n, SocksRequest *pReq) {
  ClearRequest(pReq);
  if (Socks5RequestComplete(p, n) <= 0) return -1;
  pReq->nVersion = 5;
  pReq->nCmd = p[1];
  if (ReadAddress(p[3], p + 4, pReq) != 1) return -1;
  pReq->nHeaderLen = 4 + pReq->nAddrLen;
  return 1;
}

int ChooseSocks5Method(const unsigned char *p, std::size_t n, int bAuth) {
  std::size_t nMethods = n >= 2 ? p[1] : 0;
  for (std::size_t i = 0; i < nMethods && 2 + i < n; ++i) {
    if (p[2 + i] == 0 || p[2 + i] == 2) return bAuth ? 2 : 0;
  }
  return 0xFF;
}

int ParseSocksAuth(const unsigned char *p, std::size_t n, char *pOut, std::size_t nOut) {
  if (nOut) pOut[0] = '\0';
  if (SocksAuthComplete(p, n) <= 0) return -1;
  std::size_t nUser = p[1];
  std::size_t nPass = p[2 + nUser];
  const unsigned char *pUser = p + 2;
  const unsigned char *pPass = p + 3 + nUser;
  if (memchr(pUser, 0, nUser) || memchr(pPass, 0, nPass)) return -1;
  if (nUser + nPass + 2 > nOut) return -1;
  memcpy(pOut, pUser, nUser);
  pOut[nUser] = ':';
  memcpy(pOut + nUser + 1, pPass, nPass);
  pOut[nUser + 1 + nPass] = '\0';
  return 1;
}

int ParseSocksUdpHeader(const unsigned char *p, std::size_t n, SocksRequest *pReq) {
  ClearRequest(pReq);
  pReq->nVersion = 5;
  if (n < 4) return -1;
  if (p[2] != 0) return 0;
  int nPart = AddressPartLen(p[3], p + 4, n - 4);
  if (nPart <= 0 || n < 4u + static_cast<unsigned>(nPart)) return -1;
  if (ReadAddress(p[3], p + 4, pReq) != 1) return -1;
  pReq->nHeaderLen = 4 + pReq->nAddrLen;
  return 1;
}

int BuildSocksReplyHeader(const unsigned char *pReq, int nVersion, int nAddrLen, char *pOut) {
  memset(pOut, 0, kSocksReplyMax);
  if (nVersion == 5) {
    if (nAddrLen < 0) nAddrLen = 0;
    if (nAddrLen > static_cast<int>(kSocksReplyMax) - 4) nAddrLen = static_cast<int>(kSocksReplyMax) - 4;
    pOut[0] = 0x05;
    pOut[3] = static_cast<char>(pReq[3]);
    memcpy(pOut + 4, pReq + 4, static_cast<std::size_t>(nAddrLen));
    return 4 + nAddrLen;
  }
  pOut[0] = 0x00;
  memcpy(pOut + 2, pReq + 2, 6);
  return 8;
}

int BuildSocksRefusal(int nVersion, int nCode, char *pOut) {
  if (nVersion == 5) {
    memset(pOut, 0, 10);
    pOut[0] = 0x05;
    pOut[1] = static_cast<char>(nCode);
    pOut[3] = 0x01;
    return 10;
  }
  memset(pOut, 0, 8);
  pOut[1] = static_cast<char>(nCode);
  return 8;
}

namespace {

// The four decimal numbers between the dots of a text; missing parts 0.
void FourNumbers(const char *szAddr, unsigned char *pOut) {
  memset(pOut, 0, 4);
  const char *s = szAddr;
  for (int i = 0; i < 4 && *s; ++i) {
    pOut[i] = static_cast<unsigned char>(strtoul(s, nullptr, 10));
    const char *pDot = strchr(s, '.');
    if (pDot == nullptr) break;
    s = pDot + 1;
  }
}

}  // namespace

int BuildSocksAddrReply(int nVersion, int nCode, int nAtyp, const char *szAddr, int nPort, char *pOut) {
  memset(pOut, 0, kSocksReplyMax);
  unsigned char hi = static_cast<unsigned char>((nPort >> 8) & 0xFF), lo = static_cast<unsigned char>(nPort & 0xFF);
  if (nVersion != 5) {
    pOut[1] = static_cast<char>(nCode);
    pOut[2] = static_cast<char>(hi);
    pOut[3] = static_cast<char>(lo);
    FourNumbers(szAddr, reinterpret_cast<unsigned char *>(pOut + 4));
    return 8;
  }
  pOut[0] = 0x05;
  pOut[1] = static_cast<char>(nCode);
  pOut[3] = static_cast<char>(nAtyp);
  int nAt = 4;
  if (nAtyp == 3) {
    std::size_t nLen = strnlen(szAddr, 255);
    pOut[nAt++] = static_cast<char>(nLen);
    memcpy(pOut + nAt, szAddr, nLen);
    nAt += static_cast<int>(nLen);
  } else if (nAtyp == 4) {
    if (PlatAddrBytes(szAddr, 1, reinterpret_cast<unsigned char *>(pOut + nAt)) != 1) memset(pOut + nAt, 0, 16);
    nAt += 16;
  } else {
    FourNumbers(szAddr, reinterpret_cast<unsigned char *>(pOut + nAt));
    nAt += 4;
  }
  pOut[nAt++] = static_cast<char>(hi);
  pOut[nAt++] = static_cast<char>(lo);
  return nAt;
}

void FormatSocksIPv6(const unsigned char *p, char *pOut, std::size_t nOut) {
  snprintf(pOut, nOut, "%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x", p[0], p[1], p[2],
           p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
}

std::size_t FormatBinaryDump(int nSock, const void *pData, std::size_t nLen, char *pOut, std::size_t nOut) {
  if (nOut == 0) return 0;
  std::size_t nMax = nOut - 1 < kBinaryDumpMax ? nOut - 1 : kBinaryDumpMax;
  std::size_t nAt = 0;
  auto put = [&](const char *s, std::size_t n) {
    std::size_t nTake = n < nMax - nAt ? n : nMax - nAt;
    memcpy(pOut + nAt, s, nTake);
    nAt += nTake;
  };
  char szPiece[32];
  int nHead = snprintf(szPiece, sizeof szPiece, "[BinaryDump] [%04d]\n", nSock);
  put(szPiece, static_cast<std::size_t>(nHead));
  const unsigned char *p = static_cast<const unsigned char *>(pData);
  for (std::size_t i = 0; i < nLen && nAt < nMax; ++i) {
    if (i % 16 == 0) put("  ", 2);
    snprintf(szPiece, sizeof szPiece, "%02x ", p[i]);
    put(szPiece, 3);
    if (i % 16 == 15 || i + 1 == nLen) put("\n", 1);
  }
  pOut[nAt] = '\0';
  return nAt;
}
