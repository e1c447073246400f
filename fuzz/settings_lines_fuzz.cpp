// The mode's settings file: connect-table and TLS lines read by every
// connection.  The input is the file; each line also goes straight to the
// line readers, and a matched port text to the port flags.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/settings.h"
#include "net/connection_record.h"
#include "net/outbound.h"
#include "fuzz/fuzz_input.h"
#include "net/tls_settings.h"

namespace {

std::string g_path;

void RemoveFile() { remove(g_path.c_str()); }

void CheckEntry(const ConnectEntry &entry) {
  // The record is large; ReadPortFlags sets its three flags itself.
  static ConnectionRecord *s_pRec = new ConnectionRecord();
  std::string port = entry.mPort.c_str();
  ReadPortFlags(s_pRec, port.data());
  FUZZ_CHECK(port.size() <= entry.mPort.Length());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_path = "/tmp/proxy-fuzz-settings-" + std::to_string(getpid()) + ".ini";
  g_szSettingsFile.Assign(g_path.c_str());
  atexit(RemoveFile);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  FuzzInput in{pData, nSize};
  int nPort = static_cast<int>(in.Byte()) * 256 + static_cast<int>(in.Byte());
  std::string addr = in.Text();
  std::string file = in.Rest();
  FILE *fp = fopen(g_path.c_str(), "wb");
  if (fp == nullptr) return 0;
  fwrite(file.data(), 1, file.size(), fp);
  fclose(fp);

  ConnectEntry entry;
  if (GetConnectTable(addr.c_str(), nPort, &entry)) CheckEntry(entry);
  FixedText<261> cert;
  FixedText<263> key;
  Query_SecureSocketLayer(addr.c_str(), nPort, &cert, &key);

  std::size_t nAt = 0;
  while (nAt < file.size()) {
    std::size_t nEnd = file.find('\n', nAt);
    if (nEnd == std::string::npos) nEnd = file.size();
    std::string line = file.substr(nAt, nEnd - nAt);
    nAt = nEnd + 1;
    line.resize(strlen(line.c_str()));
    std::string work = line;
    if (ParseConnectLine(work.data(), &entry)) CheckEntry(entry);
    work = line;
    int r = MatchTlsLine(work.data(), "192.0.2.1 995+", "192.0.2.1 995-", &cert, &key);
    FUZZ_CHECK(r >= -1 && r <= 1 && (r >= 0 || (cert.Empty() && key.Empty())));
  }
  return 0;
}
