#include "core/base64.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int DecodeChar(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

size_t Base64Decode(const char *szIn, char *pOut, size_t nOutSize) {
  if (nOutSize == 0) return 0;
  size_t nOut = 0;
  unsigned nBits = 0;
  int nHave = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(szIn); *p && *p != '='; ++p) {
    int v = DecodeChar(*p);
    if (v < 0) continue;
    nBits = (nBits << 6) | static_cast<unsigned>(v);
    nHave += 6;
    if (nHave >= 8) {
      nHave -= 8;
      if (nOut + 1 >= nOutSize) break;
      pOut[nOut++] = static_cast<char>((nBits >> nHave) & 0xFF);
    }
  }
  pOut[nOut] = '\0';
  return nOut;
}

size_t Base64Encode(const void *pIn, size_t nLen, char *pOut, size_t nOutSize) {
  if (nOutSize == 0) return 0;
  const unsigned char *p = static_cast<const unsigned char *>(pIn);
  size_t nOut = 0;
  for (size_t i = 0; i < nLen; i += 3) {
    if (nOut + 4 >= nOutSize) break;
    unsigned v = static_cast<unsigned>(p[i]) << 16;
    if (i + 1 < nLen) v |= static_cast<unsigned>(p[i + 1]) << 8;
    if (i + 2 < nLen) v |= p[i + 2];
    pOut[nOut++] = kAlphabet[(v >> 18) & 63];
    pOut[nOut++] = kAlphabet[(v >> 12) & 63];
    pOut[nOut++] = i + 1 < nLen ? kAlphabet[(v >> 6) & 63] : '=';
    pOut[nOut++] = i + 2 < nLen ? kAlphabet[v & 63] : '=';
  }
  pOut[nOut] = '\0';
  return nOut;
}
