// Replies of spamd (or of whatever listens where spamd should) to SYMBOLS.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "services/spam/spamd_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  // The client's reply buffer.
  if (nSize > 65536) return 0;
  std::vector<char> reply(pData, pData + nSize);
  SpamdVerdict verdict;
  char szWhy[256];
  szWhy[0] = '\0';
  int r = SpamdParseReply(reply.data(), static_cast<int>(reply.size()), &verdict, szWhy, sizeof szWhy);
  FUZZ_CHECK(r == 1 || (r == -1 && szWhy[0] != '\0'));
  FUZZ_CHECK(strlen(szWhy) < sizeof szWhy);
  return 0;
}
