// Clients of the four inspection services.
//
// Content is spooled to a file; the client sends the file's name to the
// service over its pipe (a Unix-domain socket at data folder + "pipe/" +
// name) and reads back a short text verdict.  An empty verdict means clean.
// The services serve many clients at once, so calls from different
// connections run side by side: one slow scan never holds up the others.
// Every wait is bounded: a service that does not take the call, or does
// not answer, lets the content pass as clean after a logged time-out -
// unless inspection is mandatory (-I), where the caller refuses it.
#ifndef PROXY_INSPECT_SCAN_CLIENT_H_
#define PROXY_INSPECT_SCAN_CLIENT_H_

#include "base/limits.h"

// Pipe names of the services.
constexpr const char *kAvsPipe = "ruvoavs";       // virus scanner
constexpr const char *kSpamPipe = "ruvospam";     // spam classifier
constexpr const char *kHttpPipe = "ruvocwfs";     // HTTP content filter
constexpr const char *kZipPipe = "qzmail2zip";    // attachment compressor

// Protocol code of a virus-scan request for a protocol number (0 HTTP,
// 1 SMTP, 2 POP3, 3 IMAP4, 4 FTP); "" for any other number.
const char *ScanProtocolCode(int nProtocol);

// Size check of -K (g_nScanMax, 0 = no limit): looks szArg up as a file.
// Returns 1 when it is a file larger than the limit (logged; the caller
// skips the service and treats the content as clean), 0 otherwise.
// An argument that is not a file name is never skipped.
int FileSizeCheck(int nSock, const char *szArg);

// Virus scan of szFile for protocol nProtocol.  pResult (kScanReplySize
// bytes) receives the virus name, or "" for clean, skipped or failed; the
// verdicts "Password-protected-EXE" and "AVS_ACCESSDENIED" (any case) count
// as clean.  Returns 1 when a reply was read or the size check skipped the
// call, 0 when the call failed.  nSock only appears in log lines.
int ScanFile(int nProtocol, int nSock, const char *szFile, char *pResult);

// 1 when ScanFile could now do more than find the virus scanner not
// running: its pipe is there, or the size check of -K may decide first.
// A caller that makes a file only for the scanner skips making it when
// this is 0, and takes VirusScannerMissing's result for ScanFile's.
int VirusScannerReachable();
// ScanFile's result for a scanner that is not running (pResult "", 0),
// counted as such a call.
int VirusScannerMissing(char *pResult);

// Spam classification.  szArg is the spool file name (POP3) or
// "file TAB client-address TAB reverse-path" (SMTP).  pResult
// (kScanReplySize bytes) receives the verdict or "".  Results as ScanFile.
int ScanSpamFile(int nSock, const char *szArg, char *pResult);

// HTTP content filter.  pResult (kHttpScanReplySize bytes) receives the
// filter's verdict or "".  Results as ScanFile.
int ScanHttpFile(int nSock, const char *szFile, char *pResult);

// Attachment compression of an outgoing message: moves szSpoolFile to
// "<data>cache/<szMailId>.dat", lets the service rewrite it in place, and
// moves it back.  An empty reply or a failed call (other than a busy
// service) deletes the envelope file "<data>cache/<szMailId>.$CP".
// pResult (kScanReplySize bytes) receives the reply ("" = nothing
// compressed).  Returns 1 when a reply was read, 0 on failure.
int CompressedbyPipe(int nSock, const char *szSpoolFile, const char *szMailId, char *pResult);

// With inspection mandatory (-I): 1 when a call that returned nScanResult
// gave no verdict (service missing, refusing, reset, silent or failing),
// so the content must be refused rather than passed as clean.  Always 0
// without -I.
int ScanMissing(int nScanResult);

// Waiting limits of the exchange, in milliseconds (defaults
// kScanReplyTimeoutMs and kScanBusyTimeoutMs).  Only tests change them.
void SetScanTimeouts(int nReplyTimeoutMs, int nBusyTimeoutMs);

#endif  // PROXY_INSPECT_SCAN_CLIENT_H_
