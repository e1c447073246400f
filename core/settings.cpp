#include "core/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/endpoint_record.h"
#include "core/text_lines.h"
#include "platform/plat_file.h"

int g_nProxyMode;
SettingText g_szEnvName;
PathText g_szDataDir;
int g_bNoKeepAlive;
int g_nConRetry;
int g_nMaxConn;
int g_nIPVersion;
unsigned g_nRetryLimit;
int g_bProxyAuth;
int g_nLdapAuth;
PathText g_szLdapIni;
int g_bMailBackup;
PathText g_szBackupDir;
int g_bAttachZip;
int g_bSpamReject;
int g_nVirusMailKeep;
int g_bFtpRaw;
int g_nSocksVer;
unsigned g_nCacheMin;
int g_nPortLow, g_nPortHigh;
int g_nPortNext;
uint64_t g_nScanMax;
int g_bScanRequired;
SettingText g_szUpstream;
int g_bAccessLog;
int g_bLogFile;
int g_bLogConsole;
int g_bHeaderRewrite;
int g_bViaExtend;
int g_bForwarded;
int g_bRemoteHostWp;
int g_bXForwardedFor;
int g_nTmoClient, g_nTmoServer, g_nTmoClientSSL, g_nTmoServerSSL;
PathText g_szAccessLogDir;
PathText g_szAccessLogMask;
PathText g_szLogDir;
PathText g_szSettingsFile;
PathText g_szConPermFile;
PathText g_szSocksPtlFile;
PathText g_szAuthFile;
PathText g_szDnsblFile;
PathText g_szDnswlFile;
PathText g_szConblFile;
PathText g_szConwlFile;
PathText g_szZipFile;
PathText g_szNoCacheFile;
int g_nClientSendTmo, g_nClientRecvTmo, g_nServerSendTmo, g_nServerRecvTmo;
FixedText<512> g_szHostDomain;
SettingText g_szMetricsAddr;
int g_nMetricsPort;
int g_bUdpLasting;

namespace {

constexpr int kNoConnLimit = 2147483647;

// The per-mode names: file prefix and debug-log folder.
struct ModeNames {
  const char *szPrefix;
  const char *szLogDir;
};
constexpr ModeNames kModeNames[6] = {{"http", "httplog"},   {"smtp", "smtplog"}, {"pop3", "pop3log"},
                                     {"imap4", "imap4log"}, {"ftp", "ftplog"},   {"socks", "sockslog"}};

// Path = data folder + name.  A path that does not fit stays cut; every
// file name here is short, so only an over-long data folder can cut it.
void DataPath(PathText *pPath, const char *szName) { pPath->Format("%s%s", g_szDataDir.c_str(), szName); }

void DataPath2(PathText *pPath, const char *szPrefix, const char *szSuffix) {
  pPath->Format("%s%s%s", g_szDataDir.c_str(), szPrefix, szSuffix);
}

// -P: file names, folders and time-outs of the mode.
void SetModeSettings(int nMode) {
  g_nProxyMode = nMode;
  const ModeNames &names = kModeNames[nMode];
  bool bHttpLike = nMode == kModeHttp || nMode == kModeSocks;
  if (bHttpLike) {
    DataPath(&g_szAccessLogDir, "ncsalog");
    DataPath(&g_szAccessLogMask, "ncsalog-mask.db");
  } else {
    g_szAccessLogDir.Clear();
    g_szAccessLogMask.Clear();
  }
  DataPath(&g_szLogDir, names.szLogDir);
  DataPath2(&g_szSettingsFile, names.szPrefix, ".ini");
  DataPath2(&g_szConPermFile, names.szPrefix, "-con.ini");
  if (nMode == kModeSocks) DataPath(&g_szSocksPtlFile, "socks-ptl.ini");
  DataPath2(&g_szAuthFile, names.szPrefix, "-auth.ini");
  DataPath2(&g_szDnsblFile, names.szPrefix, "-dnsbl.db");
  DataPath2(&g_szDnswlFile, names.szPrefix, "-dnswl.db");
  DataPath2(&g_szConblFile, names.szPrefix, "-conbl.db");
  DataPath2(&g_szConwlFile, names.szPrefix, "-conwl.db");
  DataPath2(&g_szZipFile, names.szPrefix, "-zip.db");
  if (nMode == kModeHttp || nMode == kModeFtp || nMode == kModeSocks) {
    DataPath(&g_szNoCacheFile, "no-cache.db");
    g_nPortLow = g_nPortHigh = g_nPortNext = 0;
  }
  if (nMode == kModeHttp) {
    g_nTmoClient = 5;
    g_nTmoServer = 3500;
  } else {
    g_nTmoClient = 300000;
    g_nTmoServer = 300000;
  }
  g_nTmoClientSSL = 10;
  g_nTmoServerSSL = 50;
}

// -L: "list[ port]"; the text after the last space is the port; "," splits
// the list into NUL-separated entries ended by an empty entry.
void SetListenList(EndpointRecord *pEndpoint, const char *szValue) {
  char *pList = pEndpoint->mIP;
  CopyText(pList, kListenListSize - 1, szValue);  // leave room for the final NUL
  char *pSpace = strrchr(pList, ' ');
  if (pSpace) {
    pEndpoint->nPort = atoi(pSpace + 1);
    *pSpace = '\0';
  }
  size_t nLen = strlen(pList);
  pList[nLen + 1] = '\0';
  for (char *p = pList; *p; ++p)
    if (*p == ',') *p = '\0';
}

// -F: the listen list from the settings file: the text of each entry line
// before its first "+", "=", CR or LF, joined by "\n", then split.
void SetListenListFromFile(EndpointRecord *pEndpoint, const char *szValue) {
  char *pList = pEndpoint->mIP;
  memset(pList, 0, kListenListSize);
  if (g_szSettingsFile.Empty()) return;
  FILE *fp = fopen(g_szSettingsFile.c_str(), "rb");
  if (!fp) {
    DebugLogF("[GetOption] file notfound (%s)\n", szValue);
    return;
  }
  size_t nUsed = 0;
  LineSource src = FileLineSource(fp);
  ForEachLine<kSettingsLine>(&src, LineRules{LongLine::kSplit, kBlankQuoteComments, 0}, [&](char *szLine) {
    szLine[strcspn(szLine, "+=")] = '\0';
    size_t nLen = strlen(szLine);
    size_t nNeed = nLen + (nUsed ? 1 : 0);
    // Keep two bytes for the terminating NULs of the list.
    if (nUsed + nNeed > kListenListSize - 2) return 1;
    if (nUsed) pList[nUsed++] = '\n';
    memcpy(pList + nUsed, szLine, nLen);
    nUsed += nLen;
    return 0;
  });
  fclose(fp);
  pList[nUsed] = '\0';
  DebugLogF("[GetOption] %s\n", pList);
  for (char *p = pList; *p; ++p)
    if (*p == ',' || *p == '\n') *p = '\0';
}

// -T: "a,b,c,d"; missing trailing values leave the earlier setting.
void SetTimeouts(const char *szValue) {
  int *pTargets[4] = {&g_nTmoClient, &g_nTmoServer, &g_nTmoClientSSL, &g_nTmoServerSSL};
  const char *p = szValue;
  for (int i = 0; i < 4 && *p; ++i) {
    int n = atoi(p);
    *pTargets[i] = n < 0 ? 0 : n;
    const char *pComma = strchr(p, ',');
    if (!pComma) break;
    p = pComma + 1;
  }
}

void SetHeaderFlags(int n) {
  g_bHeaderRewrite = n != 0;
  g_bViaExtend = (n & 1) != 0;
  g_bForwarded = (n & 2) != 0;
  g_bRemoteHostWp = (n & 4) != 0;
  g_bXForwardedFor = (n & 8) != 0;
}

}  // namespace

void SetDefaults(EndpointRecord *pEndpoint) {
  g_nProxyMode = 0;
  g_szEnvName.Clear();
  g_szDataDir.Clear();
  memset(pEndpoint, 0, sizeof *pEndpoint);
  CopyText(pEndpoint->mIP, kListenListSize, "127.0.0.1");
  pEndpoint->nPort = 8080;
  pEndpoint->nListenOnce = 0;
  g_bNoKeepAlive = 1;
  g_nConRetry = 10;
  g_nMaxConn = kNoConnLimit;
  g_nIPVersion = 0;
  g_nRetryLimit = 12000;
  g_bProxyAuth = 0;
  g_nLdapAuth = 0;
  g_szLdapIni.Clear();
  g_bMailBackup = 0;
  g_szBackupDir.Clear();
  g_bAttachZip = 0;
  g_bSpamReject = 0;
  g_nVirusMailKeep = 0;
  g_bFtpRaw = 1;
  g_nSocksVer = 0;
  g_nCacheMin = 0;
  g_nPortLow = g_nPortHigh = g_nPortNext = 0;
  g_nScanMax = 0;
  g_bScanRequired = 0;
  g_szUpstream.Clear();
  g_bAccessLog = 0;
  g_bLogFile = 0;
  g_bLogConsole = 0;
  g_bHeaderRewrite = 1;
  g_bViaExtend = 0;
  g_bForwarded = 0;
  g_bRemoteHostWp = 1;
  g_bXForwardedFor = 1;
  g_nTmoClient = g_nTmoServer = g_nTmoClientSSL = g_nTmoServerSSL = 0;
  PathText *pPaths[] = {&g_szAccessLogDir, &g_szAccessLogMask, &g_szLogDir,    &g_szSettingsFile, &g_szConPermFile,
                        &g_szSocksPtlFile, &g_szAuthFile,      &g_szDnsblFile, &g_szDnswlFile,    &g_szConblFile,
                        &g_szConwlFile,    &g_szZipFile,       &g_szNoCacheFile};
  for (PathText *p : pPaths) p->Clear();
  g_nClientSendTmo = g_nClientRecvTmo = g_nServerSendTmo = g_nServerRecvTmo = 0;
  g_szHostDomain.Clear();
  g_szMetricsAddr.Clear();
  g_nMetricsPort = 0;
  g_bUdpLasting = 0;
}

int SetMetricsAddress(const char *szValue) {
  const char *pSpace = strrchr(szValue, ' ');
  if (!pSpace || pSpace == szValue) return 0;
  char *pEnd = nullptr;
  long nPort = strtol(pSpace + 1, &pEnd, 10);
  if (pEnd == pSpace + 1 || *pEnd != '\0' || nPort < 1 || nPort > 65535) return 0;
  SettingText addr;
  if (!addr.Assign(std::string_view(szValue, static_cast<size_t>(pSpace - szValue)))) return 0;
  g_szMetricsAddr = addr;
  g_nMetricsPort = static_cast<int>(nPort);
  return 1;
}

int GetOption(int argc, char **argv, EndpointRecord *pEndpoint) {
  for (int i = 1; i < argc; ++i) {
    const char *szArg = argv[i];
    size_t nArgLen = strlen(szArg);
    if (nArgLen < 2) continue;
    char cSwitch = szArg[1];
    // The value starts at the fourth character; the third ("=") is skipped
    // unread.
    const char *szValue = nArgLen >= 3 ? szArg + 3 : "";
    if (cSwitch != 'i' && cSwitch >= 'a' && cSwitch <= 'z') cSwitch = static_cast<char>(cSwitch - 'a' + 'A');
    switch (cSwitch) {
      case '!':
        g_bNoKeepAlive = atoi(szValue) != 0;
        break;
      case '$':
        g_nConRetry = atoi(szValue);
        break;
      case 'A':
        g_bProxyAuth = 1;
        g_szLdapIni.Format("%shttp-ldap.ini", g_szDataDir.c_str());
        g_nLdapAuth = nArgLen >= 3 && szArg[2] == '=' ? atoi(szValue) : 0;
        break;
      case 'B':
        g_bMailBackup = 1;
        if (!g_szBackupDir.Assign(szValue)) {
          fprintf(stderr, "-B: the backup folder is longer than %zu characters\n", PathText::Capacity());
          return 2;
        }
        break;
      case 'C': {
        int n = atoi(szValue);
        g_nMaxConn = n == 0 ? kNoConnLimit : n;
        break;
      }
      case 'D':
        g_nVirusMailKeep = atoi(szValue);
        break;
      case 'E': {
        g_szEnvName.Assign(szValue);
        const char *szDir = PlatGetEnv(g_szEnvName.c_str());
        if (!szDir) {
          fprintf(stderr, "-E: the environment variable %s is not set\n", g_szEnvName.c_str());
          return 2;
        }
        if (!g_szDataDir.Format("%s/TORV/", szDir)) {
          fprintf(stderr, "-E: the data folder %s/TORV/ is longer than %zu characters\n", szDir,
                  PathText::Capacity());
          return 2;
        }
        break;
      }
      case 'F':
        SetListenListFromFile(pEndpoint, szValue);
        break;
      case 'G':
        g_bAccessLog = atoi(szValue) != 0;
        break;
      case 'H':
        if (!SetMetricsAddress(szValue)) {
          fprintf(stderr, "-H: the value must be an address, one space and a port (1-65535)\n");
          return 2;
        }
        break;
      case 'I':
        g_bScanRequired = atoi(szValue) != 0;
        break;
      case 'J':
        g_bSpamReject = atoi(szValue) != 0;
        break;
      case 'K':
        g_nScanMax = strtoull(szValue, nullptr, 10);
        break;
      case 'L':
        SetListenList(pEndpoint, szValue);
        break;
      case 'M':
        g_nCacheMin = static_cast<unsigned>(strtoul(szValue, nullptr, 10));
        break;
      case 'N': {
        g_nPortLow = g_nPortNext = atoi(szValue);
        const char *pDash = strchr(szValue, '-');
        if (pDash) g_nPortHigh = atoi(pDash + 1);
        break;
      }
      case 'O': {
        int n = atoi(szValue);
        g_nSocksVer = n >= 0 && n < 3 ? n : 0;
        break;
      }
      case 'P': {
        int n = atoi(szValue);
        if (n < 0 || n > 5) {
          fprintf(stderr, "-P: protocol %d is not one of 0 (HTTP), 1 (SMTP), 2 (POP3), 3 (IMAP4), 4 (FTP), 5 (SOCKS)\n",
                  n);
          return 2;
        }
        SetModeSettings(n);
        break;
      }
      case 'Q':
        g_bFtpRaw = atoi(szValue) == 1;
        break;
      case 'R':
        g_nRetryLimit = static_cast<unsigned>(strtoul(szValue, nullptr, 10)) * 20u;
        break;
      case 'S':
        g_szUpstream.Assign(szValue);
        break;
      case 'T':
        SetTimeouts(szValue);
        break;
      case 'U':
        SetHeaderFlags(atoi(szValue));
        break;
      case 'V':
        g_bLogConsole = 1;
        break;
      case 'W':
        g_bLogFile = 1;
        break;
      case 'X':
        g_bAttachZip = atoi(szValue) != 0;
        break;
      case 'Y':
        g_bUdpLasting = atoi(szValue) == 1;
        break;
      case 'Z':
        // A non-empty value names the data folder itself.
        if (*szValue) {
          size_t nLen = strlen(szValue);
          if (!g_szDataDir.Format("%s%s", szValue, szValue[nLen - 1] == '/' ? "" : "/")) {
            fprintf(stderr, "-Z: the data folder is longer than %zu characters\n", PathText::Capacity());
            return 2;
          }
        }
        break;
      case 'i':
        g_nIPVersion = atoi(szValue);
        break;
      default:
        break;  // unknown switches are ignored
    }
  }
  return 0;
}

int FindInfoRequest(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) return kInfoHelp;
    if (strcmp(argv[i], "--version") == 0) return kInfoVersion;
  }
  return kInfoNone;
}

void PrintUsage(FILE *pFile, const char *szProgram) {
  fprintf(pFile,
          "usage: %s -E=VAR -P=MODE [switches]   (%s)\n"
          "A switch is a dash, a letter, \"=\" and the value; switches are read left to right.\n"
          "  -E=VAR         data folder $VAR/TORV/; give it first (-Z=DIR: the folder DIR)\n"
          "  -P=n           protocol 0 HTTP, 1 SMTP, 2 POP3, 3 IMAP4, 4 FTP, 5 SOCKS\n"
          "  \"-L=a,b port\"  listen addresses and port (default 127.0.0.1 8080)\n"
          "  -F             listen addresses from the mode's settings file\n"
          "  -i=n           0 IPv4, 1 IPv6, 2 both\n"
          "  \"-S=host port\" upstream server of the SMTP, POP3, IMAP4 and FTP relays\n"
          "  -T=c,s,ct,st   time-outs in ms: client, server, client TLS, server TLS\n"
          "  -C=n           connection limit (0: none)      -!=0    HTTP keep-alive on\n"
          "  -A, -A=1       proxy credentials (=1: LDAP)    -M=n    cache minutes\n"
          "  -W             debug log to the dated file     -V      debug log to stderr\n"
          "  -G=1           access log (HTTP, SOCKS)        -K=n    largest file inspected\n"
          "  -N=a-b         FTP data and BIND ports         -B=DIR  mail backup folder\n"
          "  -I=1           inspection mandatory: content without a verdict is refused\n"
          "  -J=1 -D=n -U=n -Q=n -O=n -R=n -$=n -X=n        see the manual page\n"
          "  -h, --help     this text                       --version\n",
          szProgram, kVersion);
}

const char *ProgramTitle(const char *szLowerName) {
  static const struct {
    const char *szName;
    const char *szTitle;
  } kTitles[] = {{"ruvohprx", "HTTP PROXY"}, {"ruvosprx", "SMTP PROXY"}, {"ruvopprx", "POP3 PROXY"},
                 {"ruvoiprx", "IMAP PROXY"}, {"ruvofprx", "FTP PROXY"},  {"ruvocprx", "SOCKS PROXY"}};
  for (const auto &t : kTitles)
    if (strstr(szLowerName, t.szName)) return t.szTitle;
  return "HTTP PROXY";
}

void LogSettingsSummary() {
  // The folder is made before the first line so that the banner and the
  // summary of a first start reach the file too.
  PlatMakeDir(g_szLogDir.c_str());
  DebugLogF(" %s %s", kVersion, "filtering proxy server: HTTP, SMTP, POP3, IMAP4, FTP and SOCKS with content inspection\n\n");
  int nMode = g_nProxyMode;
  DebugLogF("SOCKET Con-Rty Time   = %lu\n", static_cast<unsigned long>(g_nConRetry));
  DebugLogF("Keep-Alive            = %s\n", g_bNoKeepAlive ? "off" : "on");
  DebugLogF("Connection            = %lu\n",
            static_cast<unsigned long>(g_nMaxConn == kNoConnLimit ? 0 : g_nMaxConn));
  DebugLogF("IP version            = %s\n", g_nIPVersion == 0 ? "IPv4" : g_nIPVersion == 1 ? "IPv6" : "IPv4,IPv6");
  if (nMode == kModeHttp || nMode == kModeSocks)
    DebugLogF("Proxy Auth            = %s%s\n", g_bProxyAuth ? "yes" : "no",
              g_bProxyAuth ? (g_nLdapAuth ? ":LDAP" : ":LOCAL") : "");
  DebugLogF("Timeout Client(Plain) = %d\n", g_nTmoClient);
  DebugLogF("Timeout Client(SSL)   = %d\n", g_nTmoClientSSL);
  DebugLogF("Timeout Server(Plain) = %d\n", g_nTmoServer);
  DebugLogF("Timeout Server(SSL)   = %d\n", g_nTmoServerSSL);
  if (nMode == kModeSmtp || nMode == kModeSocks) {
    DebugLogF("Mail backup           = %s:%s\n", g_bMailBackup ? "yes" : "no",
              g_bMailBackup ? g_szBackupDir.c_str() : "");
    DebugLogF("Attach compressed     = %s\n", g_bAttachZip ? "yes" : "no");
    DebugLogF("SPAM reject           = %s\n", g_bSpamReject ? "yes" : "no");
  }
  if (nMode == kModeHttp || nMode == kModeFtp || nMode == kModeSocks) {
    DebugLogF("%s PortRange        = %05d - %05d\n", nMode == kModeSocks ? "Bind" : "FTP ", g_nPortLow, g_nPortHigh);
    DebugLogF("%s Cache time      = %lu min.\n",
              nMode == kModeHttp ? "HTTP " : nMode == kModeFtp ? "FTP  " : "SOCKS",
              static_cast<unsigned long>(g_nCacheMin));
  }
  if (nMode == kModeFtp || nMode == kModeSocks) DebugLogF("FTP Command           = %s\n", g_bFtpRaw ? "raw" : "transform");
  if (nMode == kModePop3 || nMode == kModeImap4 || nMode == kModeSocks)
    DebugLogF("Virus Mail deleted    = %s.\n", g_nVirusMailKeep ? "Off" : "On");
  DebugLogF("Scan Max file size    = %llu\n", static_cast<unsigned long long>(g_nScanMax));
  if (g_bScanRequired) DebugLog("Inspection            = mandatory\n");
  PlatMakeDir(g_szLogDir.c_str());
  DebugLogF("Log Folder            = %s\n", g_szLogDir.c_str());
  if (nMode == kModeHttp || nMode == kModeSocks) PlatMakeDir(g_szAccessLogDir.c_str());
}
