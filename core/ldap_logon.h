// Directory logon: the LDAP settings ("http-ldap.ini") read at start-up, and
// the check of proxy credentials by binding to the directory server.
#ifndef PROXY_CORE_LDAP_LOGON_H_
#define PROXY_CORE_LDAP_LOGON_H_

#include <cstddef>

#include "base/fixed_text.h"
#include "base/limits.h"

using LdapText = FixedText<kLdapTextSize>;

// LDAP settings: written only by ReadLdapSettings at start-up.
extern LdapText g_szLdapServer;        // "server=": empty, callers then use "localhost"
extern int g_nLdapPort;                // "port=": 389
extern int g_nLdapRetryTime;           // "retrytime=": bind attempts, 10
extern int g_nLdapRetryMsec;           // "retrymsec=": pause after a failed attempt, 6000
extern LdapText g_szLdapSchemaRdn;     // "schemardn=": attribute of the user's name, "cn"
extern LdapText g_szLdapSchemaDc;      // "schemadc=": base the user is placed under
extern LdapText g_szLdapId;            // the rest are read and kept, not used
extern LdapText g_szLdapPw;
extern LdapText g_szLdapSchemaFilter;
extern LdapText g_szLdapSchemaHome;
extern LdapText g_szLdapSchemaName;
extern LdapText g_szLdapSchemaMember;

// What a caller asks the directory to check.
struct LdapLogonRequest {
  LdapText mServer;
  int nPort;
  LdapText mDomain;
  LdapText mUser;
  LdapText mPassword;
};

// Sets every LDAP setting to its default; then, when szPath is not empty and
// the file opens, reads it line by line (lines of up to 1,023 characters;
// comments start with a blank or a quote).  Values longer than 255
// characters are cut.  Returns 1 when the file was read, 0 when only the
// defaults were set.
int ReadLdapSettings(const char *szPath);

// Applies one settings line (already cut at its line end): the first key of
// the fixed list that begins the line, compared without case, takes the
// rest of the line.  Returns 1 when a key matched, 0 when none did.
int ApplyLdapSettingLine(const char *szLine);

// Escapes a text for use as one attribute value of a distinguished name
// (RFC 4514): '"', '+', ',', ';', '<', '>', '\\' and '=' get a backslash,
// as do a leading '#' or blank and a trailing blank; control bytes become
// "\\hh".  Returns 1, or 0 when the result did not fit (pOut then holds a
// cut prefix and must not be used).
int EscapeDnValue(const char *szValue, char *pOut, std::size_t nOutSize);

// The bind name of a user: the user text itself when it begins with "cn="
// (any case: the user names a whole entry), otherwise
// "<schemardn>=<escaped user>,<schemadc>".  Returns 1, or 0
// when the name would not fit in 255 characters (*pOut is then unusable).
int BuildLdapBindName(const char *szUser, LdapText *pOut);

// Fills a request the way the credential checks do it: the server setting
// (or "localhost"), the port setting, and user, password and domain from
// the decoded credentials "user:password" (split at the last ":"; the user
// split at its first "@", or else its first "%", into user and domain).
// Returns 1, or 0 when a part does not fit in 255 characters.
int LdapRequestFromCredentials(const char *szCredentials, LdapLogonRequest *pReq);

struct PlatLdap;

// Opens a connection to the request's server and binds: a simple bind with
// the bind name (retried after retrymsec while the server is unavailable,
// down or silent, at most retrytime attempts), then, if that failed, a
// negotiated bind with user, domain and password.  Logs one line for the
// outcome.  Returns the bound connection or nullptr.  Blocks at most about
// retrytime x (retrymsec + 2 x kLdapWaitMs) + 2 x kLdapWaitMs.
PlatLdap *ConnetLDAP(const LdapLogonRequest *pReq);

// 1 when the directory accepts the request's credentials, else 0.  Empty
// user or password texts are refused without contacting the server (an
// empty password would make an unauthenticated bind, which servers accept).
int LDAP_LOGON(const LdapLogonRequest *pReq);

#endif  // PROXY_CORE_LDAP_LOGON_H_
