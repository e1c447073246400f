// Process-wide settings: written only during start-up (defaults, then the
// switches left to right), read without locking by every thread afterwards.
#ifndef PROXY_CORE_SETTINGS_H_
#define PROXY_CORE_SETTINGS_H_

#include <cstdint>
#include <cstdio>

#include "base/fixed_text.h"
#include "base/limits.h"

struct EndpointRecord;

// Protocol served by the instance (-P).
enum ProxyMode { kModeHttp = 0, kModeSmtp = 1, kModePop3 = 2, kModeImap4 = 3, kModeFtp = 4, kModeSocks = 5 };

using PathText = FixedText<kPathSize>;
using SettingText = FixedText<kSettingSize>;

extern int g_nProxyMode;
extern SettingText g_szEnvName;
extern PathText g_szDataDir;           // ends with "/" once -E has been seen
extern int g_bNoKeepAlive;
extern int g_nConRetry;
extern int g_nMaxConn;                 // 2147483647 = no limit
extern int g_nIPVersion;               // 0 IPv4, 1 IPv6, 2 both
extern unsigned g_nRetryLimit;         // 50-ms attempts to open a held spool file
extern int g_bProxyAuth;
extern int g_nLdapAuth;
extern PathText g_szLdapIni;
extern int g_bMailBackup;
extern PathText g_szBackupDir;
extern int g_bAttachZip;
extern int g_bSpamReject;
extern int g_nVirusMailKeep;
extern int g_bFtpRaw;
extern int g_nSocksVer;
extern unsigned g_nCacheMin;
extern int g_nPortLow, g_nPortHigh;
extern int g_nPortNext;                // data-port cursor; see GetDataPort
extern uint64_t g_nScanMax;
extern int g_bScanRequired;            // -I: content without a verdict is refused
extern SettingText g_szUpstream;
extern int g_bAccessLog;
extern int g_bLogFile;
extern int g_bLogConsole;
// HTTP identification headers (-U): master switch and bits 0..3.
extern int g_bHeaderRewrite;           // master: add headers, rewrite responses
extern int g_bViaExtend;               // bit 0: extend an existing "via:"
extern int g_bForwarded;               // bit 1: add "Forwarded: by ..."
extern int g_bRemoteHostWp;            // bit 2: add "Remote-Host-Wp:"
extern int g_bXForwardedFor;           // bit 3: add "X-Forwarded-For:"
extern int g_nTmoClient, g_nTmoServer, g_nTmoClientSSL, g_nTmoServerSSL;
// Metrics listener (-H "ADDRESS PORT"); the address is empty without -H.
extern SettingText g_szMetricsAddr;
extern int g_nMetricsPort;
// -Y=1: a SOCKS 5 UDP association lasts as long as its TCP connection.
extern int g_bUdpLasting;

// Per-mode file names (data folder + name), empty until -P.
extern PathText g_szAccessLogDir;      // "ncsalog" in modes 0 and 5
extern PathText g_szAccessLogMask;     // "ncsalog-mask.db"
extern PathText g_szLogDir;            // debug-log folder
extern PathText g_szSettingsFile;      // "http.ini" ...
extern PathText g_szConPermFile;       // "http-con.ini" ...
extern PathText g_szSocksPtlFile;      // "socks-ptl.ini" (mode 5 only)
extern PathText g_szAuthFile;          // "http-auth.ini" ...
extern PathText g_szDnsblFile;         // "http-dnsbl.db" ...
extern PathText g_szDnswlFile;         // "http-dnswl.db" ...
extern PathText g_szConblFile;         // "http-conbl.db" ...
extern PathText g_szConwlFile;         // "http-conwl.db" ...
extern PathText g_szZipFile;           // "http-zip.db" ...
extern PathText g_szNoCacheFile;       // "no-cache.db"

// Derived socket time-outs (milliseconds; 0 leaves the option untouched).
extern int g_nClientSendTmo, g_nClientRecvTmo, g_nServerSendTmo, g_nServerRecvTmo;

// This host's fully qualified name, found once by the listener.
extern FixedText<512> g_szHostDomain;

// Sets every setting to its default and the main endpoint's listen list to
// "127.0.0.1", port 8080.
void SetDefaults(EndpointRecord *pEndpoint);

// -H: "ADDRESS PORT" (the text after the last space is the port, 1 to
// 65535).  1 stored; 0 refused (nothing changed).
int SetMetricsAddress(const char *szValue);

// Parses argv[1..argc-1] strictly left to right into the settings and the
// main endpoint record (-L, -F).  Unknown switches are ignored.
// Returns 0, or 2 when a value is refused (a message went to stderr).
int GetOption(int argc, char **argv, EndpointRecord *pEndpoint);

// Logs the banner and the settings summary through DebugLog, creating the
// debug-log and access-log folders on the way.
void LogSettingsSummary();

// Whole-argument requests looked for before the switches are parsed: "-h"
// and "--help" ask for the usage, "--version" for the version.  The first
// one found counts.  Returns kInfoNone when there is none.
enum InfoRequest { kInfoNone = 0, kInfoHelp = 1, kInfoVersion = 2 };
int FindInfoRequest(int argc, char **argv);

// Prints the short usage (the switches) for the program name to pFile.
void PrintUsage(FILE *pFile, const char *szProgram);

// Title printed on standard output for a (lower-cased) program name.
const char *ProgramTitle(const char *szLowerName);

// The program's version text.
constexpr const char *kVersion = "v1.38";

#endif  // PROXY_CORE_SETTINGS_H_
