#include "platform/plat_resolve.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>

#include <cstring>

int PlatNameResolves(const char *szName, int bIPv6) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = bIPv6 ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *pRes = nullptr;
  if (getaddrinfo(szName, nullptr, &hints, &pRes) != 0) return 0;
  freeaddrinfo(pRes);
  return 1;
}

int PlatQueryServerA(const char *szName, const char *szServer, int nWaitSec, int nTries) {
  struct in_addr addr;
  if (inet_pton(AF_INET, szServer, &addr) != 1) return 0;

  // A private state: the system's configuration is read by res_ninit and
  // then replaced by the one server, so no other server is ever asked and
  // no other thread's look-ups are touched.
  struct __res_state st;
  memset(&st, 0, sizeof st);
  if (res_ninit(&st) != 0) {
    res_nclose(&st);
    return 0;
  }
  st.nscount = 1;
  memset(&st.nsaddr_list[0], 0, sizeof st.nsaddr_list[0]);
  st.nsaddr_list[0].sin_family = AF_INET;
  st.nsaddr_list[0].sin_port = htons(53);
  st.nsaddr_list[0].sin_addr = addr;
  // An IPv6 server of the configuration sits in the extended table, which
  // takes precedence over nsaddr_list: put the one server there as well.
  if (st._u._ext.nsaddrs[0]) {
    memset(st._u._ext.nsaddrs[0], 0, sizeof(struct sockaddr_in6));
    memcpy(st._u._ext.nsaddrs[0], &st.nsaddr_list[0], sizeof(struct sockaddr_in));
  }
  st.retrans = nWaitSec > 0 ? nWaitSec : 1;
  st.retry = nTries > 0 ? nTries : 1;
  // The name is asked as written: no search domains appended.
  st.options &= ~(RES_DEFNAMES | RES_DNSRCH);

  unsigned char answer[NS_PACKETSZ * 4];
  int nLen = res_nquery(&st, szName, ns_c_in, ns_t_a, answer, sizeof answer);
  int nHit = 0;
  if (nLen >= static_cast<int>(sizeof(HEADER))) {
    const HEADER *pHead = reinterpret_cast<const HEADER *>(answer);
    nHit = pHead->rcode == NOERROR && ntohs(pHead->ancount) > 0;
  }
  res_nclose(&st);
  return nHit;
}
