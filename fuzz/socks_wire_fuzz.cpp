// SOCKS 4/4a/5 client messages as a client sends them: the completeness
// tests must agree on every prefix (a message is complete from its length
// on, never before, and one that can never be valid stays so), and the
// greeting, authentication and request are then read, answered and dumped
// as the negotiation does.  The same bytes also go through the datagram
// header reader.
#include <cstring>
#include <vector>

#include "base/limits.h"
#include "fuzz/fuzz_input.h"
#include "socks/socks_wire.h"

namespace {

using CompleteFn = int (*)(const unsigned char *, std::size_t);

// The length of the complete message at p (n bytes), checked against every
// shorter prefix; 0 or -1 when there is none.
int Complete(CompleteFn fn, const unsigned char *p, std::size_t n) {
  // Each prefix in a buffer of its own size, so a read past it shows up.
  auto at = [&](std::size_t k) {
    std::vector<unsigned char> prefix(p, p + k);
    return fn(prefix.data(), k);
  };
  int nWhole = at(n);
  FUZZ_CHECK(nWhole <= static_cast<int>(n));
  int bNever = 0;
  // Every prefix of a short message; a spread of them for a long one.
  std::size_t nStep = n <= 1024 ? 1 : n / 512;
  for (std::size_t k = 0; k < n; k += nStep) {
    int r = at(k);
    if (nWhole > 0 && k >= static_cast<std::size_t>(nWhole)) {
      FUZZ_CHECK(r == nWhole);
    } else if (nWhole > 0) {
      FUZZ_CHECK(r == 0);
    } else {
      FUZZ_CHECK(r <= 0 && (!bNever || r == -1));
      bNever = r == -1;
    }
  }
  return nWhole;
}

void CheckRequest(const unsigned char *p, int nLen, const SocksRequest &req) {
  FUZZ_CHECK(req.mHost.Length() < 256 && req.mTarget.Length() < 256);
  char szReply[kSocksReplyMax];
  int nReply = BuildSocksReplyHeader(p, req.nVersion, req.nAddrLen, szReply);
  FUZZ_CHECK(nReply > 0 && nReply <= static_cast<int>(kSocksReplyMax));
  FUZZ_CHECK(req.nVersion == 4 || 4 + req.nAddrLen <= nLen);
}

void Dump(const unsigned char *p, std::size_t n) {
  char szText[kBinaryDumpMax + 1];
  FUZZ_CHECK(FormatBinaryDump(7, p, n, szText, sizeof szText) < sizeof szText);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  if (nSize > kSocksMsgMax + 16) return 0;
  // A copy of exactly the input's size for the readers that take it whole.
  std::vector<unsigned char> all(pData, pData + nSize);
  const unsigned char *p = all.data();
  std::size_t n = nSize;

  SocksRequest udp;
  ParseSocksUdpHeader(p, n, &udp);
  Dump(p, n);

  int nLen = Complete(SocksGreetingComplete, p, n);
  if (nLen <= 0) return 0;
  SocksRequest req;
  if (p[0] == 4) {
    if (ParseSocks4Request(p, static_cast<std::size_t>(nLen), &req) == 1) CheckRequest(p, nLen, req);
    return 0;
  }
  int nMethod = ChooseSocks5Method(p, static_cast<std::size_t>(nLen), 1);
  FUZZ_CHECK(nMethod == 0 || nMethod == 2 || nMethod == 0xFF);
  p += nLen;
  n -= static_cast<std::size_t>(nLen);
  if (nMethod == 2) {
    nLen = Complete(SocksAuthComplete, p, n);
    if (nLen <= 0) return 0;
    char szCred[kSocksMsgMax];
    if (ParseSocksAuth(p, static_cast<std::size_t>(nLen), szCred, sizeof szCred) == 1)
      FUZZ_CHECK(strlen(szCred) < static_cast<std::size_t>(nLen));
    p += nLen;
    n -= static_cast<std::size_t>(nLen);
  }
  nLen = Complete(Socks5RequestComplete, p, n);
  if (nLen <= 0) return 0;
  Dump(p, static_cast<std::size_t>(nLen));
  if (ParseSocks5Request(p, static_cast<std::size_t>(nLen), &req) == 1) CheckRequest(p, nLen, req);
  return 0;
}
