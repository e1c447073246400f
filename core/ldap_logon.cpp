#include "core/ldap_logon.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/log.h"
#include "core/text_lines.h"
#include "platform/plat_ldap.h"
#include "platform/plat_time.h"

LdapText g_szLdapServer;
int g_nLdapPort;
int g_nLdapRetryTime;
int g_nLdapRetryMsec;
LdapText g_szLdapSchemaRdn;
LdapText g_szLdapSchemaDc;
LdapText g_szLdapId;
LdapText g_szLdapPw;
LdapText g_szLdapSchemaFilter;
LdapText g_szLdapSchemaHome;
LdapText g_szLdapSchemaName;
LdapText g_szLdapSchemaMember;

namespace {

// Settings lines: at most 1,023 characters are looked at.
constexpr std::size_t kLdapLine = 1024;

void SetLdapDefaults() {
  g_szLdapServer.Clear();
  g_nLdapPort = 389;
  g_nLdapRetryTime = 10;
  g_nLdapRetryMsec = 6000;
  g_szLdapSchemaRdn.Assign("cn");
  g_szLdapSchemaDc.Clear();
  g_szLdapId.Clear();
  g_szLdapPw.Clear();
  g_szLdapSchemaFilter.Clear();
  g_szLdapSchemaHome.Clear();
  g_szLdapSchemaName.Clear();
  g_szLdapSchemaMember.Clear();
}

// The keys in the order they are tried; "retrymsec=" comes before
// "retrytime=" and both before the rest, so no key is taken for another.
struct LdapKey {
  const char *szKey;
  LdapText *pText;  // a text setting, or
  int *pNumber;     // a number setting
};
const LdapKey kLdapKeys[] = {
    {"retrymsec=", nullptr, &g_nLdapRetryMsec},
    {"retrytime=", nullptr, &g_nLdapRetryTime},
    {"server=", &g_szLdapServer, nullptr},
    {"port=", nullptr, &g_nLdapPort},
    {"id=", &g_szLdapId, nullptr},
    {"pw=", &g_szLdapPw, nullptr},
    {"schemardn=", &g_szLdapSchemaRdn, nullptr},
    {"schemadc=", &g_szLdapSchemaDc, nullptr},
    {"schemafilter=", &g_szLdapSchemaFilter, nullptr},
    {"schemahome=", &g_szLdapSchemaHome, nullptr},
    {"schemaname=", &g_szLdapSchemaName, nullptr},
    {"schemamember=", &g_szLdapSchemaMember, nullptr},
};

}  // namespace

int ApplyLdapSettingLine(const char *szLine) {
  for (const LdapKey &key : kLdapKeys) {
    size_t nKey = strlen(key.szKey);
    if (strncasecmp(szLine, key.szKey, nKey) != 0) continue;
    const char *szValue = szLine + nKey;
    if (key.pText)
      key.pText->Assign(szValue);  // cut at 255 characters
    else
      *key.pNumber = atoi(szValue);
    return 1;
  }
  return 0;
}

int ReadLdapSettings(const char *szPath) {
  SetLdapDefaults();
  int nRead = ReadTextLines<kLdapLine>(szPath, [](char *szLine) {
    ApplyLdapSettingLine(szLine);
    return 0;
  });
  return nRead >= 0 ? 1 : 0;
}

int EscapeDnValue(const char *szValue, char *pOut, std::size_t nOutSize) {
  static const char kHex[] = "0123456789abcdef";
  std::size_t nLen = strlen(szValue), n = 0;
  int nFit = 1;
  for (std::size_t i = 0; i < nLen; ++i) {
    unsigned char c = static_cast<unsigned char>(szValue[i]);
    char szPiece[4];
    std::size_t nPiece = 0;
    if (c < 0x20 || c == 0x7f) {
      // Control bytes as "\hh" (RFC 4514 hexpair).
      szPiece[nPiece++] = '\\';
      szPiece[nPiece++] = kHex[c >> 4];
      szPiece[nPiece++] = kHex[c & 15];
    } else {
      // RFC 4514 2.4: the specials anywhere, "#" and " " first, " " last;
      // "=" too, so that no part of a user name reads as an attribute.
      bool bEscape = strchr("\"+,;<>\\=", c) != nullptr || (i == 0 && (c == '#' || c == ' ')) ||
                     (i + 1 == nLen && c == ' ');
      if (bEscape) szPiece[nPiece++] = '\\';
      szPiece[nPiece++] = static_cast<char>(c);
    }
    if (n + nPiece >= nOutSize) {
      nFit = 0;
      break;
    }
    memcpy(pOut + n, szPiece, nPiece);
    n += nPiece;
  }
  if (nOutSize > 0) pOut[n] = '\0';
  return nFit;
}

int BuildLdapBindName(const char *szUser, LdapText *pOut) {
  if (strncasecmp(szUser, "cn=", 3) == 0) return pOut->Assign(szUser);
  // The user is one attribute value of the name: escaped, a "," or "=" in
  // it cannot add name parts that select another entry.
  char szEscaped[sizeof(LdapText)];
  if (!EscapeDnValue(szUser, szEscaped, sizeof szEscaped)) return 0;
  return pOut->Format("%s=%s,%s", g_szLdapSchemaRdn.c_str(), szEscaped, g_szLdapSchemaDc.c_str());
}

int LdapRequestFromCredentials(const char *szCredentials, LdapLogonRequest *pReq) {
  pReq->mServer.Assign(g_szLdapServer.Empty() ? "localhost" : g_szLdapServer.c_str());
  pReq->nPort = g_nLdapPort;
  std::string_view creds(szCredentials);
  std::string_view user = creds, password;
  size_t nColon = creds.rfind(':');
  if (nColon != std::string_view::npos) {
    user = creds.substr(0, nColon);
    password = creds.substr(nColon + 1);
  }
  std::string_view domain;
  size_t nAt = user.find('@');
  if (nAt == std::string_view::npos) nAt = user.find('%');
  if (nAt != std::string_view::npos) {
    domain = user.substr(nAt + 1);
    user = user.substr(0, nAt);
  }
  int nFit = pReq->mUser.Assign(user);
  nFit &= pReq->mPassword.Assign(password);
  nFit &= pReq->mDomain.Assign(domain);
  return nFit;
}

PlatLdap *ConnetLDAP(const LdapLogonRequest *pReq) {
  // A bind name cut to fit would name somebody else: no logon.
  LdapText bindName;
  if (!BuildLdapBindName(pReq->mUser.c_str(), &bindName)) return nullptr;

  DebugLogF("[ConnetLDAP] Connecting to server %s....\n", pReq->mServer.c_str());
  int nErr = 0;
  PlatLdap *pLd = PlatLdapInit(pReq->mServer.c_str(), pReq->nPort, kLdapWaitMs, &nErr);
  if (!pLd) {
    DebugLogF("[ConnetLDAP] ld failed with 0x%x.\n", nErr);
    return nullptr;
  }
  int nRc = PlatLdapSetVersion3(pLd);
  if (nRc != kLdapSuccess) {
    PlatLdapUnbind(pLd);
    DebugLogF("[ConnetLDAP] ldap_set_option() returned 0x%x\n", nRc);
    return nullptr;
  }

  // A server that is unavailable, down or silent gets retrytime attempts,
  // each followed by a pause of retrymsec; any other answer (such as
  // invalid credentials) ends the simple binds at once.
  int nAttempts = g_nLdapRetryTime > 0 ? g_nLdapRetryTime : 1;
  int nPauseMs = g_nLdapRetryMsec > 0 ? g_nLdapRetryMsec : 0;
  for (int nAttempt = 1;; ++nAttempt) {
    nRc = PlatLdapSimpleBind(pLd, bindName.c_str(), pReq->mPassword.c_str());
    if (nRc != kLdapUnavailable && nRc != kLdapServerDown && nRc != kLdapTimeout) break;
    PlatSleepMs(nPauseMs);
    if (nAttempt >= nAttempts) break;
  }
  if (nRc == kLdapSuccess) {
    DebugLogF("[ConnetLDAP] ldap_simple_bind_s() bind returned 0x%x\n", nRc);
    return pLd;
  }

  nRc = PlatLdapNegotiateBind(pLd, pReq->mUser.c_str(), pReq->mDomain.c_str(), pReq->mPassword.c_str());
  DebugLogF("[ConnetLDAP] ldap_bind_s() bind returned 0x%x\n", nRc);
  if (nRc != kLdapSuccess) {
    PlatLdapUnbind(pLd);
    return nullptr;
  }
  return pLd;
}

int LDAP_LOGON(const LdapLogonRequest *pReq) {
  PlatLdap *pLd = nullptr;
  if (!pReq->mUser.Empty() && !pReq->mPassword.Empty()) pLd = ConnetLDAP(pReq);
  if (!pLd) {
    // The password never goes into the log; its place shows a fixed mask
    // that does not even tell its length.
    DebugLogF("[LDAP_LOGON] id=<%s> pw=<%s>... NG.\n", pReq->mUser.c_str(), "********");
    return 0;
  }
  PlatLdapUnbind(pLd);
  DebugLogF("[LDAP_LOGON] id=<%s> ... OK.\n", pReq->mUser.c_str());
  return 1;
}
