// What tells one version of a file from the next without reading it: its
// identity, size and change times.  Readers that keep a file's text in
// memory compare stamps at each use and read the file again only when the
// stamp differs.
#ifndef PROXY_PLATFORM_PLAT_FILE_STAMP_H_
#define PROXY_PLATFORM_PLAT_FILE_STAMP_H_

#include <cstdint>

struct PlatFileStamp {
  uint64_t nDev, nIno, nSize;
  int64_t nMTimeNs, nCTimeNs;
};

// 1 with *pStamp filled; -1 when nothing is at the path; 0 when it is no
// regular file or cannot be examined.
int PlatGetFileStamp(const char *szPath, PlatFileStamp *pStamp);

// 1 when both stamps name the same version of the same file.
int PlatSameFileStamp(const PlatFileStamp &a, const PlatFileStamp &b);

// 1 when the file's last change lies at least a second in the past.  File
// systems keep change times coarsely (a clock tick, or a whole second), so
// an edit made right after a read may leave the stamp as it was; a copy of
// a file that changed this recently is not to be trusted for later use.
int PlatFileStampSettled(const PlatFileStamp &stamp);

#endif  // PROXY_PLATFORM_PLAT_FILE_STAMP_H_
