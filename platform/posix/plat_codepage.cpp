#include "platform/plat_codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstddef>

int PlatConvertText(const char *szFrom, const char *szTo, const char *pIn, int nInLen, char *pOut,
                    int nOutSize) {
  if (pOut == nullptr || nOutSize <= 0 || nInLen < 0) return -1;
  pOut[0] = '\0';
  iconv_t cd = iconv_open(szTo, szFrom);
  if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
  char *pSrc = const_cast<char *>(pIn);
  size_t nSrcLeft = static_cast<size_t>(nInLen);
  char *pDst = pOut;
  // One byte stays free for the NUL.
  size_t nDstLeft = static_cast<size_t>(nOutSize) - 1;
  int nResult = -1;
  // Any failure (EILSEQ, EINVAL for a cut sequence, E2BIG) refuses the whole
  // text: a half-converted name is a different name.
  if (iconv(cd, &pSrc, &nSrcLeft, &pDst, &nDstLeft) != static_cast<size_t>(-1) &&
      iconv(cd, nullptr, nullptr, &pDst, &nDstLeft) != static_cast<size_t>(-1)) {
    nResult = static_cast<int>(pDst - pOut);
    *pDst = '\0';
  } else {
    pOut[0] = '\0';
  }
  iconv_close(cd);
  return nResult;
}
