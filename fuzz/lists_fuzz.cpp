// Policy list files an administrator (or whoever can write the data
// folder) provides, read by every lookup: the same file serves as each
// list kind and is asked about a key from the input.  Each line also goes
// straight through both pattern languages, which must agree with plain
// comparison where a pattern has no wildcard, and must not change the
// pattern.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/lists.h"
#include "core/settings.h"
#include "fuzz/fuzz_input.h"

namespace {

std::string g_path;

bool WriteFile(const std::string &data) {
  FILE *fp = fopen(g_path.c_str(), "wb");
  if (fp == nullptr) return false;
  bool bOk = fwrite(data.data(), 1, data.size(), fp) == data.size();
  return fclose(fp) == 0 && bOk;
}

void CheckPatterns(const std::string &pattern, const std::string &key) {
  std::string work = pattern;
  int nText = TextMatch(work.data(), key.c_str());
  FUZZ_CHECK(work == pattern);
  int nAddr = AddressMatch(work.data(), key.c_str());
  FUZZ_CHECK(work == pattern);
  if (pattern.find('*') == std::string::npos) {
    FUZZ_CHECK(nText == (strcasecmp(pattern.c_str(), key.c_str()) == 0));
    std::string star = "*" + pattern;
    FUZZ_CHECK(TextMatch(star.data(), pattern.c_str()) == 1);
    star = pattern + "*";
    FUZZ_CHECK(TextMatch(star.data(), pattern.c_str()) == 1);
    if (pattern.find_first_of(":/") == std::string::npos) {
      FUZZ_CHECK(AddressMatch(work.data(), pattern.c_str()) == 1);
      FUZZ_CHECK(nAddr == (pattern == key));
    }
  }
}

void RemoveFile() { remove(g_path.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_path = "/tmp/proxy-fuzz-lists-" + std::to_string(getpid()) + ".db";
  atexit(RemoveFile);
  g_szConPermFile.Assign(g_path.c_str());
  g_szConwlFile.Assign(g_path.c_str());
  g_szZipFile.Assign(g_path.c_str());
  g_szAccessLogMask.Assign(g_path.c_str());
  g_szSocksPtlFile.Assign(g_path.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  FuzzInput in{pData, nSize};
  int nPort = static_cast<int>(in.Byte()) * 256 + static_cast<int>(in.Byte());
  std::string key = in.Text();
  std::string file = in.Rest();
  if (!WriteFile(file)) return 0;

  QueryDBList(g_path.c_str(), key.c_str(), nullptr);
  QueryDBList(g_path.c_str(), "http://www.example.com/", key.c_str());
  int nPerm = QueryConnectPerimisson(key.c_str());
  FUZZ_CHECK(nPerm >= 0 && nPerm <= 2);
  ClientWhiteListed(key.c_str());
  ZipListed(key.c_str(), nPort);
  LogMasked(key.c_str(), nPort);
  int32_t nPass = -1;
  int nClass = Query_SocksProtocol(key.c_str(), nPort, &nPass);
  FUZZ_CHECK(nClass >= -1 && nClass <= 6 && (nPass == 0 || nPass == 1));

  std::size_t nAt = 0;
  while (nAt < file.size()) {
    std::size_t nEnd = file.find_first_of(std::string("\r\n\0", 3), nAt);
    if (nEnd == std::string::npos) nEnd = file.size();
    CheckPatterns(file.substr(nAt, nEnd - nAt), key);
    nAt = nEnd + 1;
  }
  return 0;
}
