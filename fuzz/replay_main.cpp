// Runs a fuzz target over stored inputs without libFuzzer: every regular
// file of the folders named on the command line (a missing folder counts as
// empty) is handed to LLVMFuzzerTestOneInput once.  Fails when no input at
// all was found, so a lost corpus does not pass unnoticed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *pArgc, char ***pArgv);

namespace {

bool ReadWhole(const std::string &path, std::vector<uint8_t> *pData) {
  FILE *fp = fopen(path.c_str(), "rb");
  if (!fp) return false;
  pData->clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, fp)) > 0) pData->insert(pData->end(), buf, buf + n);
  bool bOk = ferror(fp) == 0;
  fclose(fp);
  return bOk;
}

}  // namespace

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  int nInputs = 0;
  std::vector<uint8_t> data;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    std::vector<std::string> files;
    for (std::filesystem::directory_iterator it(argv[i], ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (name.empty() || name[0] == '.' || !it->is_regular_file(ec)) continue;
      files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());
    for (const std::string &path : files) {
      if (!ReadWhole(path, &data)) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
      }
      fprintf(stderr, "%s\n", path.c_str());
      // A copy of exactly the file's size, so reads past the end show up
      // under AddressSanitizer as they do under libFuzzer.
      static uint8_t nNone = 0;
      std::vector<uint8_t> input(data);
      LLVMFuzzerTestOneInput(input.empty() ? &nNone : input.data(), input.size());
      ++nInputs;
    }
  }
  fprintf(stderr, "replayed %d inputs\n", nInputs);
  return nInputs > 0 ? 0 : 1;
}
