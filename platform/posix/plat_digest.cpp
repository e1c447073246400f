#include "platform/plat_digest.h"

#include <openssl/evp.h>

#include <cstdio>

int PlatMd5Hex(const void *pData, std::size_t nLen, char szHex[33]) {
  szHex[0] = '\0';
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int nDigest = 0;
  if (EVP_Digest(pData, nLen, digest, &nDigest, EVP_md5(), nullptr) != 1 || nDigest != 16) return -1;
  static const char kHex[] = "0123456789abcdef";
  for (unsigned i = 0; i < 16; ++i) {
    szHex[2 * i] = kHex[digest[i] >> 4];
    szHex[2 * i + 1] = kHex[digest[i] & 15];
  }
  szHex[32] = '\0';
  return 1;
}
