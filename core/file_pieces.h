// Sending a file in pieces: the one read loop behind every "send the rest
// of this file" of the handlers; the callers keep their own send and log.
#ifndef PROXY_CORE_FILE_PIECES_H_
#define PROXY_CORE_FILE_PIECES_H_

#include <cstddef>
#include <cstdio>

// Reads pFile from where it stands in pieces of up to nPiece bytes into pBuf
// and hands each to fnSend(const char *p, std::size_t n), which returns 1 to
// go on and 0 to stop.  Returns 1 when the file ended, 0 when fnSend stopped.
template <typename Fn>
int SendFilePieces(FILE *pFile, char *pBuf, std::size_t nPiece, Fn fnSend) {
  std::size_t n;
  while ((n = fread(pBuf, 1, nPiece, pFile)) > 0)
    if (fnSend(static_cast<const char *>(pBuf), n) != 1) return 0;
  return 1;
}

#endif  // PROXY_CORE_FILE_PIECES_H_
