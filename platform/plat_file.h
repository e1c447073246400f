// Files and folders.  Hand-off files are written under a temporary name and
// renamed into place, so a reader that sees the name sees the whole file.
#ifndef PROXY_PLATFORM_PLAT_FILE_H_
#define PROXY_PLATFORM_PLAT_FILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Value of an environment variable, or nullptr.
const char *PlatGetEnv(const char *szName);

// Creates a folder; an existing one is no error.  1 done or present, -1 failure.
int PlatMakeDir(const char *szPath);

// 1 when the path exists (file or folder), 0 when not.
int PlatFileExists(const char *szPath);

// Size in bytes and last-write time (seconds since the epoch).
// 1 found, 0 not found, -1 failure.
int PlatFileInfo(const char *szPath, uint64_t *pSize, int64_t *pMTime);

// Opens a file like fopen with szMode ("r", "w", "a", optional "b" and
// "+"), but a final name that is a symbolic link is never followed: spool,
// cache and backup names live in folders others may write to, and a link
// planted under such a name would make the proxy read or overwrite its
// target.  With "x" in the mode the name is new: whatever stands under it
// (a stale file, a link) is removed first and the file is created
// exclusively.  Created files are private (0600).  nullptr on failure
// (errno set; ELOOP for a link).
FILE *PlatFileOpen(const char *szPath, const char *szMode);
// A text in memory read as a file ("rb"): reads, seeks and tells as on
// the file it copies, with no system call.  The text must outlive the
// stream.  nullptr when nText is 0 or no stream could be made.
FILE *PlatMemoryFile(const char *pText, std::size_t nText);

// Appends nLen bytes to an open spool stream.  A short or failed write (a
// full disk, a quota, an I/O error) is reported, and the stream stays
// failed: every later call fails too, so a file that lost bytes is never
// taken for a whole one.  1 written (perhaps still buffered), -1 failure.
int PlatSpoolAppend(FILE *pFile, const void *pData, size_t nLen);

// Closes a spool stream written with PlatSpoolAppend.  -1 when any write
// to it failed, also one still buffered at the close; 1 when all of it
// reached the file.  A null stream gives -1.
int PlatSpoolClose(FILE *pFile);

// Opens a file with fopen's mode, retrying every 50 ms while it cannot be
// opened, at most nAttempts times (at least once).  nullptr when it never
// opened.  Where a writer hands files over by rename, the first try serves.
FILE *PlatOpenRetry(const char *szPath, const char *szMode, unsigned nAttempts);
// The same for spool, cache and backup files: a name that is a symbolic
// link is not followed (PlatFileOpen).  Settings and list files, which an
// administrator may well keep as links, are opened with PlatOpenRetry.
FILE *PlatSpoolOpenRetry(const char *szPath, const char *szMode, unsigned nAttempts);

// Deletes a file, retrying every 50 ms while the deletion fails for another
// reason than absence, at most nAttempts times.  1 deleted, 0 not found,
// -1 still present after the last attempt.
int PlatDeleteRetry(const char *szPath, unsigned nAttempts);

// Copies a file into place through a temporary name.  bReplace 0 fails when
// the destination exists; a source that is a symbolic link is not copied.
// 1 done, -1 failure.
int PlatCopyFile(const char *szFrom, const char *szTo, int bReplace);

// Moves a file.  bReplace 0 fails when the destination exists; bWriteThrough
// flushes the data to disk first.  Falls back to copy and delete across
// file systems.  1 done, -1 failure.
int PlatMoveFile(const char *szFrom, const char *szTo, int bReplace, int bWriteThrough);

// Moves a complete temporary file into place (replacing).  1 done, -1 failure.
int PlatHandOffFile(const char *szTempPath, const char *szFinalPath);

// Writes a whole file at once through a temporary name and a rename.
// 1 done, -1 failure.
int PlatWriteWholeFile(const char *szPath, const void *pData, size_t nLen);

// Appends bytes to a file, creating it (a link is not followed).
// 1 done, -1 failure.
int PlatAppendFile(const char *szPath, const void *pData, size_t nLen);

// Opens a file for appending, creating it; the descriptor stays open for
// many appends (close it with PlatCloseFd).  Returns it, or -1.
int PlatOpenAppendFd(const char *szPath);

// Creates a file (emptying one that exists) and keeps it open for writing,
// so a file collected block by block costs one open, not one per block.
// Returns the descriptor (close it with PlatCloseFd), or -1.
int PlatCreateWriteFd(const char *szPath);

// Writes all nLen bytes to an open descriptor.  1 done, -1 failure.
int PlatWriteFd(int nFd, const void *pData, size_t nLen);

// Copies everything from the read position of stream pIn to the end of
// stream pOut inside the kernel (no copy through this process); pOut is
// flushed first and both streams stand at their ends afterwards.
// 1 done, -1 failure.
int PlatCopyStreamRest(FILE *pIn, FILE *pOut);

// ---- Spool files ------------------------------------------------------------
// Spool files are created and deleted for every request.  File systems that
// avoid reusing recently freed inodes (ext4 without a journal) then search
// longer and longer for a free inode at every creation, under the folder's
// lock.  So spool files keep their inodes: a deleted spool file is emptied
// and parked under a numbered name ("spare-<process id>-<n>") in the spool
// folder, and the next creation renames a parked file into place.  The file
// names, their content and their life cycle stay as they are; only the
// inode is reused.
//
// PlatSpoolInit starts reuse in the folder szFolder, removing the parked
// files of processes that no longer run, and the empty files whose names
// begin with szKeptPrefix (when given): files an earlier run kept under
// their names (PlatSpoolKeep below).  Without it the calls below create
// and delete plainly.
// 1 started, -1 not (plain creation and deletion then; nullptr stops reuse).
int PlatSpoolInit(const char *szFolder, const char *szKeptPrefix = nullptr);
// Creates szPath empty (emptying an existing file) and opens it like fopen
// with szMode ("wb" or "w").  nullptr on failure.
FILE *PlatSpoolCreate(const char *szPath, const char *szMode);
// The same, kept open as a descriptor for appending (close with
// PlatCloseFd).  -1 on failure.
int PlatSpoolCreateFd(const char *szPath);
// Deletes a spool file as PlatDeleteRetry does (same attempts and results);
// its name is gone on success.
int PlatSpoolDelete(const char *szPath, unsigned nAttempts);
// Spool files kept under their names.  A connection makes its spool files
// again for every request, often under the same names (the request file is
// named after the socket, and a client that polls asks for the same path
// again), and each creation and deletion takes the spool folder's lock.
// A file given up with PlatSpoolKeep stays in place, emptied, as the kept
// file of a slot (a number the caller gives: its socket and the file's
// role); the next creation for that slot takes it over - under the same
// name with no folder operation, under another by one rename.
//
// Empties szPath in place and keeps it for nSlot; a file the slot kept
// under another name is deleted.  The emptying is complete when this
// returns, so later writes are not pushed to the disk early by the file
// system's replace-by-truncate rule.  1 kept; otherwise the file is deleted
// as PlatSpoolDelete does: 0 deleted (or not there), -1 still there.
int PlatSpoolKeep(const char *szPath, int nSlot);
// PlatSpoolCreate and PlatSpoolCreateFd taking over nSlot's kept file when
// it is still as it was kept (a plain file, empty).
FILE *PlatSpoolCreateSlot(const char *szPath, const char *szMode, int nSlot);
int PlatSpoolCreateFdSlot(const char *szPath, int nSlot);
// Deletes every kept file (at the end of the process).
void PlatSpoolDropKept();

// Result of opening or reading a regular file whose size is bounded.
constexpr int kPlatFileTooLarge = -2;

// Opens a regular file for reading without ever blocking on a FIFO or a
// device (the type is checked on the opened descriptor).  Returns 1 with
// *pnFd and *pnSize, 0 no such file, -1 unreadable or not a regular file,
// kPlatFileTooLarge larger than nMax (nothing left open).  Close with
// PlatCloseFd.
int PlatOpenRegularFile(const char *szPath, uint64_t nMax, int *pnFd, uint64_t *pnSize);
void PlatCloseFd(int nFd);

#endif  // PROXY_PLATFORM_PLAT_FILE_H_
