// Message digests from the TLS library's crypto part.
#ifndef PROXY_PLATFORM_PLAT_DIGEST_H_
#define PROXY_PLATFORM_PLAT_DIGEST_H_

#include <cstddef>

// MD5 (RFC 1321) of nLen bytes written as 32 lower-case hexadecimal digits
// and a NUL into szHex.  Returns 1, or -1 when the library failed (szHex is
// then empty).
int PlatMd5Hex(const void *pData, std::size_t nLen, char szHex[33]);

#endif  // PROXY_PLATFORM_PLAT_DIGEST_H_
