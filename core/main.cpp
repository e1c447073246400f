// Program entry: settings, folders, title, summary, then the listener.
#include <cctype>
#include <cstdio>

#include "core/log.h"
#include "core/settings.h"
#include "front/connection_record.h"
#include "platform/plat_file.h"
#include "platform/plat_sys.h"

namespace {

EndpointRecord g_MainEndpoint;

void MakeDataFolders() {
  static const char *const kFolders[] = {"cache", "httpcache", "ftpcache"};
  for (const char *szName : kFolders) {
    PathText path;
    path.Format("%s%s", g_szDataDir.c_str(), szName);
    PlatMakeDir(path.c_str());
  }
}

}  // namespace

int main(int argc, char **argv) {
  PlatProcessInit();
  SetDefaults(&g_MainEndpoint);
  int nRc = GetOption(argc, argv, &g_MainEndpoint);
  if (nRc != 0) return nRc;
  MakeDataFolders();

  // The program name chooses only the title.
  for (char *p = argv[0]; *p; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  printf("%s\n", argv[0]);
  printf("%s", ProgramTitle(argv[0]));
  fflush(stdout);

  LogSettingsSummary();
  g_nClientSendTmo = g_nClientRecvTmo = g_nTmoClient;
  g_nServerSendTmo = g_nServerRecvTmo = g_nTmoServer;
  return 0;
}
