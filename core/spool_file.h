// Spool-file helpers shared by the protocol handlers: bounded line reads that keep NUL bytes
// and report the length, and the retry rules for spool files.
#ifndef PROXY_CORE_SPOOL_FILE_H_
#define PROXY_CORE_SPOOL_FILE_H_

#include <cstddef>
#include <cstdio>

// Reads one line (through "\n") or nSize-1 bytes, whichever comes first,
// into pBuf and NUL-terminates it.  Returns the byte count, 0 at the end.
std::size_t ReadLine(FILE *pFile, char *pBuf, std::size_t nSize);

// "Open with retry": up to -R attempts 50 ms apart (one when it is 0).
FILE *OpenSpool(const char *szPath, const char *szMode);
// "Open with long retry": five times as many attempts.
FILE *OpenSpoolLong(const char *szPath, const char *szMode);
// "Delete with retry": until deleted or missing, 100 ms apart; gives up
// after a minute so that a file the system refuses to delete cannot hold
// the connection for ever.
void DeleteSpool(const char *szPath);

// Slots of a connection's spool files kept under their names between uses
// (PlatSpoolKeep): its request file and the file its answers collect in.
enum SpoolRole { kSpoolRequest = 0, kSpoolAnswer = 1 };
inline int SpoolSlot(int nSock, SpoolRole eRole) { return nSock < 0 ? -1 : nSock * 2 + eRole; }
// Keeps the file for the slot, emptied; when it cannot be kept it is
// deleted with retry.
void KeepSpool(const char *szPath, int nSlot);

#endif  // PROXY_CORE_SPOOL_FILE_H_
