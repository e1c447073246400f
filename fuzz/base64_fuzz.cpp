// Base64 as proxy credentials bring it: decoding any text into buffers of
// every size stays inside them, and decoding an encoding gives the bytes
// back.
#include <cstring>
#include <vector>

#include "core/base64.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  FuzzInput in{pData, nSize};
  std::size_t nOutSize = in.Byte();
  std::string text = in.Rest();

  // Exactly sized heap buffers, so one byte too many is caught.
  std::vector<char> out(nOutSize ? nOutSize : 1);
  std::size_t n = Base64Decode(text.c_str(), out.data(), nOutSize);
  FUZZ_CHECK(nOutSize == 0 ? n == 0 : n < nOutSize && out[n] == '\0');

  std::vector<char> enc(text.size() / 3 * 4 + 5);
  std::size_t nEnc = Base64Encode(text.data(), text.size(), enc.data(), enc.size());
  FUZZ_CHECK(nEnc == (text.size() + 2) / 3 * 4);
  std::vector<char> dec(text.size() + 1);
  std::size_t nDec = Base64Decode(enc.data(), dec.data(), dec.size());
  FUZZ_CHECK(nDec == text.size() && memcmp(dec.data(), text.data(), nDec) == 0);
  return 0;
}
