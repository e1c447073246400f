// DNS look-ups of the block-list checks: the system resolver, and single A
// queries sent to one named DNS server.  No call here writes to the debug
// log.
#ifndef PROXY_PLATFORM_PLAT_RESOLVE_H_
#define PROXY_PLATFORM_PLAT_RESOLVE_H_

// Resolves szName with the system resolver as a stream address of one
// family (bIPv6: IPv6, else IPv4).  1 it resolves, 0 it does not (name
// unknown, resolver error or time-out alike).  Blocks as long as the
// system resolver's own time-outs allow.
int PlatNameResolves(const char *szName, int bIPv6);

// Sends one A query for szName to the DNS server szServer (numeric IPv4
// address, port 53) through a private resolver state whose server list is
// that server alone.  1 the answer holds at least one record, 0 not (no
// such name, no records, error, time-out, or szServer is not a numeric IPv4
// address).  Waits at most about nWaitSec x nTries seconds.
int PlatQueryServerA(const char *szName, const char *szServer, int nWaitSec, int nTries);

#endif  // PROXY_PLATFORM_PLAT_RESOLVE_H_
