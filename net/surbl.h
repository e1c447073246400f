// SURBL / DNSBL check of a destination host before the proxy connects it.
#ifndef PROXY_NET_SURBL_H_
#define PROXY_NET_SURBL_H_

#include <cstddef>
#include <cstring>
#include <string_view>

#include "base/fixed_text.h"
#include "base/limits.h"

// One line of the destination zone list:
//   zone [TAB server] [,level]
// The level part is the text behind the last ","; "N" or "n" there means
// "bypass the resolver's cache" and level 0.  Without a level part the
// level is 2.
struct SurblZone {
  FixedText<kDnsblLine> mZone;
  FixedText<kDnsblLine> mServer;  // DNS server to ask first, or empty
  int nLevel;
  int bLevelGiven;
  int bNoCache;
};

// Splits a zone-list line (cut at its line end) into its parts.
void ParseSurblZone(const char *szLine, SurblZone *pZone);

using SurblHost = FixedText<kSurblHostSize>;

// The host part of a destination text that is looked up.  In HTTP mode
// (bHttpMode) the whole text; otherwise the text behind "://", or from
// "www"/"WWW", or behind an "@" (the latter three only when a "." follows),
// with "=" skipped.  Then at most 256 characters, cut at the first
// character that is not a letter, digit, "-" or ".".
// Returns 1 with *pOut filled, 0 when there is nothing to look up.
int SurblHostPart(const char *szText, int bHttpMode, SurblHost *pOut);

// Calls fnName(queryName) for each name to look up for a host part under
// one zone, in order, until fnName returns nonzero:
//   IPv4 address a.b.c.d   "d.c.b.a." + zone, then (level != 0) "a.b.c.d." + zone
//   host name, level 0     the whole name + "." + zone, once
//   host name, otherwise   the last two labels, then one label more to the
//                          left per pass, up to level + 2 names
// A host without ".", or a name that begins with "." or holds "..", gives
// no names.  Returns 1 when fnName stopped the walk, else 0.
template <typename Fn>
int ForEachSurblQuery(const char *szHost, const SurblZone &zone, Fn fnName);

// Decides whether the proxy may connect to the destination host: 1 listed
// by a zone of the mode's destination zone list (logged with the zone line
// and the host), 0 not listed, white-listed, or no zone list.  Each name is
// asked of the zone line's DNS server first (when it names one), then of
// the system resolver; only a positive answer is a hit.  Blocks for up to
// level + 2 look-ups per zone.
int Query_SURBLists(const char *szHost);

// ---------------------------------------------------------------------------

namespace surbl_detail {
// Start of the label that ends at position nPos of szHost (nPos is the
// text's end or the "." behind that label).
std::size_t PreviousLabelStart(const char *szHost, std::size_t nPos);
// 1 when the text holds only digits and dots.
int IsAddressText(const char *szHost);
// 1 when a query name begins with "." or holds "..".
int BadQueryName(const char *szName);
}  // namespace surbl_detail

template <typename Fn>
int ForEachSurblQuery(const char *szHost, const SurblZone &zone, Fn fnName) {
  using namespace surbl_detail;
  if (!strchr(szHost, '.')) return 0;
  FixedText<kDnsblQuerySize> name;
  const bool bLevelZero = zone.bLevelGiven && zone.nLevel == 0;
  if (IsAddressText(szHost)) {
    // The reversed address first, then the address as written.
    FixedText<kSurblHostSize + 1> reversed;
    reversed.Clear();
    const char *pEnd = szHost + strlen(szHost);
    while (pEnd > szHost) {
      const char *pDot = pEnd;
      while (pDot > szHost && pDot[-1] != '.') --pDot;
      reversed.Append(std::string_view(pDot, static_cast<std::size_t>(pEnd - pDot)));
      reversed.Append(".");
      pEnd = pDot > szHost ? pDot - 1 : szHost;
    }
    if (BadQueryName(reversed.c_str())) return 0;
    name.Format("%s%s", reversed.c_str(), zone.mZone.c_str());
    if (fnName(name.c_str())) return 1;
    if (bLevelZero || zone.nLevel < 0) return 0;
    reversed.Format("%s.", szHost);
    if (BadQueryName(reversed.c_str())) return 0;
    name.Format("%s%s", reversed.c_str(), zone.mZone.c_str());
    return fnName(name.c_str()) ? 1 : 0;
  }
  std::size_t nLen = strlen(szHost);
  std::size_t nStart;
  if (bLevelZero) {
    nStart = 0;
  } else {
    nStart = PreviousLabelStart(szHost, nLen);                       // last label
    if (nStart > 0) nStart = PreviousLabelStart(szHost, nStart - 1);  // and the one before
  }
  for (int nPass = 0;; ++nPass) {
    FixedText<kSurblHostSize + 1> part;
    part.Format("%s.", szHost + nStart);
    if (BadQueryName(part.c_str())) return 0;
    name.Format("%s%s", part.c_str(), zone.mZone.c_str());
    if (fnName(name.c_str())) return 1;
    if (bLevelZero || nPass > zone.nLevel || nStart == 0) return 0;
    nStart = PreviousLabelStart(szHost, nStart - 1);
  }
}

#endif  // PROXY_NET_SURBL_H_
