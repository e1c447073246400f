// Program entry: settings, folders, title, summary, then the listener.
#include <cctype>
#include <cstdio>

#include "core/ldap_logon.h"
#include "core/log.h"
#include "core/settings.h"
#include "front/connection_record.h"
#include "front/outbound.h"
#include "front/listener.h"
#include "platform/plat_file.h"
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
  // the next.
  PathText cache;
  cache.Format("%scache", g_szDataDir.c_str());
  PlatSpoolInit(cache.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  PlatProcessInit();
  SetDefaults(&g_MainEndpoint);
  int nRc = GetOption(argc, argv, &g_MainEndpoint);
  if (nRc != 0) return nRc;
  MakeDataFolders();
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
  g_MainEndpoint.nListenOnce = 0;
  int nListen = AcceptClients(g_MainEndpoint);
  PlatTlsCleanup();
  return nListen == -1 ? 1 : 0;
}
