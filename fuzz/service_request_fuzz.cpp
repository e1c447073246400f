// Request texts the inspection services read from their socket (any local
// client can write one): the file name taken from it, its log copy, the
// attachment compressor's folder check, and spamd address texts.
#include <cstring>
#include <string>

#include "fuzz/fuzz_input.h"
#include "services/common/service.h"
#include "services/spam/spamd_client.h"
#include "services/zip/zip_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  // As the service frame reads it: at most the request size, NUL-ended.
  std::string request(reinterpret_cast<const char *>(pData), nSize < kFilterRequestSize ? nSize : kFilterRequestSize);
  request.resize(strlen(request.c_str()));

  PathText path;
  if (ServiceRequestFile(request.c_str(), &path)) {
    FUZZ_CHECK(!path.Empty() && strchr(path.c_str(), '\t') == nullptr);
    const char *szDataDir = "/var/lib/proxy/TORV/";
    if (ZipPathAllowed(path.c_str(), szDataDir)) {
      FUZZ_CHECK(strncmp(path.c_str(), szDataDir, strlen(szDataDir)) == 0);
      FUZZ_CHECK(strstr(path.c_str(), "/../") == nullptr);
    }
  }
  char szLog[128];
  ServiceLogText(request.c_str(), szLog, sizeof szLog);
  FUZZ_CHECK(strlen(szLog) < sizeof szLog);
  for (const char *p = szLog; *p; ++p) FUZZ_CHECK(static_cast<unsigned char>(*p) >= 0x20);

  SpamdAddress addr;
  if (SpamdParseAddress(request.c_str(), &addr)) FUZZ_CHECK(addr.nPort >= 0 && addr.nPort <= 65535);
  return 0;
}
