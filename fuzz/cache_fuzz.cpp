// The response cache's rules on text from servers: "expires:" dates read
// alone and inside a cached header with the other freshness lines, the
// digest of the key, and the key of a client's request line.
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_input.h"
#include "http/cache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  FuzzInput in{pData, nSize};
  long nStdOffset = (static_cast<long>(in.Byte()) - 128) * 900;  // -32 h .. +32 h
  std::string data = in.Rest();

  uint64_t nDate = 0;
  if (ParseExpiresDate(data.c_str(), nStdOffset, &nDate)) {
    FileTimeParts parts;
    SplitFileTime(nDate, &parts);
    FUZZ_CHECK(parts.nMonth >= 1 && parts.nMonth <= 12 && parts.nDay >= 1 && parts.nDay <= 31);
  }

  // The whole input as a cached header, at a few times around the date.
  FILE *fp = fmemopen(data.empty() ? nullptr : data.data(), data.size(), "rb");
  if (fp != nullptr) {
    for (uint64_t nNow : {uint64_t{0}, nDate, nDate + 1, ~uint64_t{0}}) {
      rewind(fp);
      CachedHeaderFresh(fp, 9, nNow, nDate, nStdOffset);
    }
    fclose(fp);
  }

  char szKey[4096];
  if (BuildHttpCacheKey("user", "www.example.com", 80, data.c_str(), szKey, sizeof szKey)) {
    FUZZ_CHECK(strlen(szKey) < sizeof szKey);
    char szHex[33];
    FUZZ_CHECK(CacheDigest(szKey, szHex) == 1 && strlen(szHex) == 32);
  }
  return 0;
}
