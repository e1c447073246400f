// DNS block-list admission check of a newly accepted client.
#ifndef PROXY_NET_DNSBL_H_
#define PROXY_NET_DNSBL_H_

#include <cstddef>

#include "base/fixed_text.h"
#include "base/limits.h"

// Kind of a client address text for the block-list query.
enum DnsblKind { kDnsblNone = 0, kDnsblIPv4 = 4, kDnsblIPv6 = 6 };

// The reversed form of an address text that the zone is appended to:
//   IPv4 "a.b.c.d"         "d.c.b.a."  (the parts in reverse order, each
//                           followed by ".")
//   IPv6 "g1:g2:...:gn"    "gn.....g2.g1." (the groups as written, in
//                           reverse order, each followed by "."; an empty
//                           group from "::" gives an empty label)
//   "::ffff:a.b.c.d"       IPv4-mapped: as the IPv4 address "d.c.b.a."
//   anything else          no reversed form (*pOut empty)
// Returns the kind (kDnsblIPv4 for a mapped address).
DnsblKind DnsblReversed(const char *szAddr, FixedText<kDnsblClientSize * 2> *pOut);

// Decides whether the client at the address text (its first 64 characters)
// is refused: 0 admit, 1 refuse.  A client on the client white list is
// admitted without any query.  Otherwise each zone of the client block-list
// file is asked in file order (reversed address + zone, resolved by the
// system resolver for the address's family); the first zone under which
// the name resolves refuses the client, every other zone logs a "not found
// list" line.  Missing files and resolver failures admit.  Blocks for one
// resolver call per zone.
int Query_DNSBL(const char *szClient);

#endif  // PROXY_NET_DNSBL_H_
