// LDAP client calls of the directory logon (OpenLDAP libldap).
//
// Result codes are the LDAP ones the logon compares and logs: 0 success,
// the server's result codes as sent (0x31 invalid credentials, 0x34
// unavailable ...), and the client library's own failures as the classic
// API numbers them (0x51 server down, 0x55 time-out, 0x5b connect error,
// 0x5c not supported ...).  No call here writes to the debug log.
#ifndef PROXY_PLATFORM_PLAT_LDAP_H_
#define PROXY_PLATFORM_PLAT_LDAP_H_

constexpr int kLdapSuccess = 0x00;
constexpr int kLdapInvalidCredentials = 0x31;
constexpr int kLdapUnavailable = 0x34;
constexpr int kLdapServerDown = 0x51;
constexpr int kLdapTimeout = 0x55;

struct PlatLdap;  // one directory connection

// Prepares a plain (no TLS) connection to host and port; nothing is sent
// yet.  Every later network wait of the connection (connect, each answer)
// lasts at most nWaitMs.  Returns the connection, or nullptr with the
// library's code in *pErr (a host text that cannot be a host name or
// address is refused this way too).
PlatLdap *PlatLdapInit(const char *szHost, int nPort, int nWaitMs, int *pErr);

// Sets the protocol version 3.  Returns the result code.
int PlatLdapSetVersion3(PlatLdap *pLd);

// Simple bind with a bind name and a password.  Blocks at most about twice
// the wait of PlatLdapInit (connect, then the answer).  Returns the result
// code.
int PlatLdapSimpleBind(PlatLdap *pLd, const char *szDn, const char *szPassword);

// Negotiated bind (SASL: GSS-SPNEGO, else NTLM) with the identity user,
// domain (realm) and password; empty texts are given as absent.  Bounded
// like PlatLdapSimpleBind.  Returns the result code.
int PlatLdapNegotiateBind(PlatLdap *pLd, const char *szUser, const char *szDomain, const char *szPassword);

// Unbinds and frees the connection (nullptr is allowed).
void PlatLdapUnbind(PlatLdap *pLd);

#endif  // PROXY_PLATFORM_PLAT_LDAP_H_
