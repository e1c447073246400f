#include "net/dnsbl.h"

#include <strings.h>

#include <cstring>
#include <string_view>

#include "core/lists.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/text_lines.h"
#include "platform/plat_resolve.h"

namespace {

// Appends the sep-separated parts of text in reverse order, each followed
// by ".".
template <std::size_t N>
void AppendReversedParts(std::string_view text, char cSep, FixedText<N> *pOut) {
  size_t nEnd = text.size();
  for (;;) {
    size_t nSep = nEnd == 0 ? std::string_view::npos : text.rfind(cSep, nEnd - 1);
    size_t nStart = nSep == std::string_view::npos ? 0 : nSep + 1;
    pOut->Append(text.substr(nStart, nEnd - nStart));
    pOut->Append(".");
    if (nSep == std::string_view::npos) break;
    nEnd = nSep;
  }
}

}  // namespace

DnsblKind DnsblReversed(const char *szAddr, FixedText<kDnsblClientSize * 2> *pOut) {
  pOut->Clear();
  std::string_view addr(szAddr);
  bool bColon = addr.find(':') != std::string_view::npos;
  bool bDot = addr.find('.') != std::string_view::npos;
  if (bColon && bDot) {
    // An IPv6 text with a dotted IPv4 tail has no reversed form of its own;
    // an IPv4-mapped address is the IPv4 client it stands for.
    if (addr.size() > 7 && strncasecmp(szAddr, "::ffff:", 7) == 0 &&
        addr.find(':', 7) == std::string_view::npos) {
      AppendReversedParts(addr.substr(7), '.', pOut);
      return kDnsblIPv4;
    }
    return kDnsblNone;
  }
  if (bColon) {
    AppendReversedParts(addr, ':', pOut);
    return kDnsblIPv6;
  }
  if (bDot) {
    AppendReversedParts(addr, '.', pOut);
    return kDnsblIPv4;
  }
  return kDnsblNone;
}

int Query_DNSBL(const char *szClient) {
  FixedText<kDnsblClientSize> client;
  client.Assign(szClient);  // the first 64 characters count
  if (ClientWhiteListed(client.c_str())) return 0;

  FixedText<kDnsblClientSize * 2> reversed;
  DnsblKind eKind = DnsblReversed(client.c_str(), &reversed);
  int nListed = 0;
  ReadTextLines<kDnsblLine>(g_szConblFile.c_str(), [&](char *szZone) {
    FixedText<kDnsblQuerySize> query;
    query.Format("%s%s", reversed.c_str(), szZone);
    if (eKind != kDnsblNone && PlatNameResolves(query.c_str(), eKind == kDnsblIPv6)) {
      nListed = 1;
      return 1;
    }
    DebugLogF("[Query_DNSBL] '%s' %s\n", query.c_str(), "not found list");
    return 0;
  });
  return nListed;
}
