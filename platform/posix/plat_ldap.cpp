#include "platform/plat_ldap.h"

#include <ldap.h>
#include <sasl/sasl.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <new>

struct PlatLdap {
  LDAP *pLd;
};

namespace {

// OpenLDAP reports its own client-side failures as negative numbers (-1
// server down, -5 time-out, -11 connect error ...); the classic LDAP C API
// numbers the same failures 0x51, 0x55, 0x5b ...  Server result codes stay.
int ClassicCode(int nRc) { return nRc < 0 ? 0x50 - nRc : nRc; }

// A host text fit for an LDAP URL: letters, digits, ".", "-", "_" (names and
// IPv4), or ":" and hex digits (IPv6, written in brackets).  Anything else
// (blanks, "/", "?", "%") could make the URL name other servers or options.
bool HostFitsUrl(const char *szHost) {
  if (!*szHost) return false;
  for (const char *p = szHost; *p; ++p) {
    char c = *p;
    bool bOk = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
               c == '_' || c == ':';
    if (!bOk) return false;
  }
  return true;
}

struct Identity {
  const char *szUser;
  const char *szDomain;
  const char *szPassword;
};

// Answers the SASL library's questions from the identity: the
// authentication name is the user, the realm the domain, the
// authorisation name is left empty (the same as the authentication name).
int Interact(LDAP *, unsigned, void *pDefaults, void *pInteract) {
  const Identity *pId = static_cast<const Identity *>(pDefaults);
  for (sasl_interact_t *p = static_cast<sasl_interact_t *>(pInteract); p->id != SASL_CB_LIST_END; ++p) {
    const char *szAnswer = "";
    switch (p->id) {
      case SASL_CB_AUTHNAME: szAnswer = pId->szUser; break;
      case SASL_CB_PASS: szAnswer = pId->szPassword; break;
      case SASL_CB_GETREALM: szAnswer = pId->szDomain; break;
      case SASL_CB_USER: szAnswer = ""; break;
      default: szAnswer = p->defresult ? p->defresult : ""; break;
    }
    p->result = szAnswer;
    p->len = static_cast<unsigned>(strlen(szAnswer));
  }
  return LDAP_SUCCESS;
}

}  // namespace

PlatLdap *PlatLdapInit(const char *szHost, int nPort, int nWaitMs, int *pErr) {
  *pErr = 0;
  if (!HostFitsUrl(szHost) || nPort <= 0 || nPort > 65535) {
    *pErr = ClassicCode(LDAP_PARAM_ERROR);
    return nullptr;
  }
  char szUrl[300];
  bool bIPv6 = strchr(szHost, ':') != nullptr;
  int n = snprintf(szUrl, sizeof szUrl, bIPv6 ? "ldap://[%s]:%d" : "ldap://%s:%d", szHost, nPort);
  if (n < 0 || static_cast<size_t>(n) >= sizeof szUrl) {
    *pErr = ClassicCode(LDAP_PARAM_ERROR);
    return nullptr;
  }
  LDAP *pLd = nullptr;
  int nRc = ldap_initialize(&pLd, szUrl);
  if (nRc != LDAP_SUCCESS || !pLd) {
    *pErr = ClassicCode(nRc != LDAP_SUCCESS ? nRc : LDAP_NO_MEMORY);
    return nullptr;
  }
  // Bound every wait: the connect (network time-out) and every synchronous
  // call's wait for its answer (API time-out).
  struct timeval tv;
  tv.tv_sec = nWaitMs / 1000;
  tv.tv_usec = (nWaitMs % 1000) * 1000;
  ldap_set_option(pLd, LDAP_OPT_NETWORK_TIMEOUT, &tv);
  ldap_set_option(pLd, LDAP_OPT_TIMEOUT, &tv);
  // Referrals are not chased (they would lead to servers nobody configured),
  // and the SASL layer must not look the host name up again by reverse DNS.
  ldap_set_option(pLd, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  ldap_set_option(pLd, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON);
  PlatLdap *pConn = new (std::nothrow) PlatLdap;
  if (!pConn) {
    ldap_unbind_ext_s(pLd, nullptr, nullptr);
    *pErr = ClassicCode(LDAP_NO_MEMORY);
    return nullptr;
  }
  pConn->pLd = pLd;
  return pConn;
}

int PlatLdapSetVersion3(PlatLdap *pConn) {
  int nVersion = LDAP_VERSION3;
  return ClassicCode(ldap_set_option(pConn->pLd, LDAP_OPT_PROTOCOL_VERSION, &nVersion));
}

int PlatLdapSimpleBind(PlatLdap *pConn, const char *szDn, const char *szPassword) {
  struct berval cred;
  cred.bv_val = const_cast<char *>(szPassword);
  cred.bv_len = strlen(szPassword);
  return ClassicCode(ldap_sasl_bind_s(pConn->pLd, szDn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr));
}

int PlatLdapNegotiateBind(PlatLdap *pConn, const char *szUser, const char *szDomain, const char *szPassword) {
  Identity id{szUser, szDomain, szPassword};
  return ClassicCode(ldap_sasl_interactive_bind_s(pConn->pLd, nullptr, "GSS-SPNEGO NTLM", nullptr, nullptr,
                                                  LDAP_SASL_QUIET, Interact, &id));
}

void PlatLdapUnbind(PlatLdap *pConn) {
  if (!pConn) return;
  ldap_unbind_ext_s(pConn->pLd, nullptr, nullptr);
  delete pConn;
}
