// Program entry: settings, folders, title, summary, then the listener.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/ldap_logon.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/connection_record.h"
#include "net/outbound.h"
#include "front/listener.h"
#include "front/metrics_listener.h"
#include "platform/plat_file.h"
#include "platform/plat_log.h"
#include "platform/plat_socket.h"
#include "platform/plat_sys.h"
#include "platform/plat_time.h"
#include "platform/plat_tls.h"

namespace {

EndpointRecord g_MainEndpoint;

void MakeDataFolders() {
  static const char *const kFolders[] = {"cache", "httpcache", "ftpcache"};
  for (const char *szName : kFolders) {
    PathText path;
    path.Format("%s%s", g_szDataDir.c_str(), szName);
    PlatMakeDir(path.c_str());
  }
  // Spool files of the cache folder keep their inodes from one request to
  // the next.  Those an earlier run of this protocol left emptied under
  // their names ("req-<mode>-...") go.
  PathText cache;
  cache.Format("%scache", g_szDataDir.c_str());
  FixedText<32> kept;
  kept.Format("req-%d-", g_nProxyMode);
  PlatSpoolInit(cache.c_str(), kept.c_str());
}

// 1 when a file can be created in the folder (the empty text is the
// current folder), else 0 with the reason on standard error.  A folder that
// is missing, read-only, on a read-only mount or owned by another user fails
// here, not at the first request.
int FolderWritable(const char *szFolder) {
  PathText probe;
  probe.Format("%s%s.write-test", szFolder, *szFolder == 0 || szFolder[strlen(szFolder) - 1] == '/' ? "" : "/");
  int nFd = PlatCreateWriteFd(probe.c_str());
  if (nFd < 0) {
    int nErr = PlatLastError();
    fprintf(stderr, "the data folder cannot be written: %s: %s\n", *szFolder ? szFolder : "./", strerror(nErr));
    return 0;
  }
  PlatCloseFd(nFd);
  PlatDeleteRetry(probe.c_str(), 1);
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  PlatProcessInit();
  // The platform layer logs through the debug log.
  PlatSetLogHook(DebugLog);
  // "-h", "--help" and "--version" answer and end before any switch is
  // read, so a first try never starts a proxy with the defaults.
  int nInfo = FindInfoRequest(argc, argv);
  if (nInfo != kInfoNone) {
    const char *szName = strrchr(argv[0], '/') ? strrchr(argv[0], '/') + 1 : argv[0];
    if (nInfo == kInfoHelp)
      PrintUsage(stdout, szName);
    else
      printf("%s %s\n", szName, kVersion);
    return 0;
  }
  SetDefaults(&g_MainEndpoint);
  int nRc = GetOption(argc, argv, &g_MainEndpoint);
  if (nRc != 0) return nRc;
  // Spool files, caches and logs all live in the data folder: one that
  // cannot be written is refused like a bad switch value.
  if (!FolderWritable(g_szDataDir.c_str())) return 2;
  MakeDataFolders();
  PathText cache;
  cache.Format("%scache", g_szDataDir.c_str());
  if (!FolderWritable(cache.c_str())) return 2;
  // The directory logon's settings: always set (defaults only without -A).
  ReadLdapSettings(g_szLdapIni.c_str());

  // The program name chooses only the title.
  for (char *p = argv[0]; *p; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  printf("%s\n", argv[0]);
  printf("%s", ProgramTitle(argv[0]));
  fflush(stdout);

  LogSettingsSummary();
  // Unchecked server certificates must not go unnoticed.
  LogUncheckedTlsEntries();
  g_nClientSendTmo = g_nClientRecvTmo = g_nTmoClient;
  g_nServerSendTmo = g_nServerRecvTmo = g_nTmoServer;

  // Sockets need no library start-up here; the TLS library does.
  if (PlatTlsInit() != 1) {
    DebugLog("[main] TLS library initialisation failed\n");
    return 1;
  }
  // The listener returns only when it cannot (or can no longer) listen.
  // That is a failure, and the exit status says so: a service manager must
  // not take it for a clean stop.
  // Connection threads that are done wait for the next connection.
  PlatReuseThreads(1);
  if (StartMetricsListener() < 0) return 1;
  g_MainEndpoint.nListenOnce = 0;
  int nListen = AcceptClients(g_MainEndpoint);
  // Spool files kept for the next client of a socket go with the process.
  PlatSpoolDropKept();
  PlatTlsCleanup();
  return nListen == -1 ? 1 : 0;
}
