// The frame every inspection service shares: command line (data folder,
// logging, limits), the socket under DATAFOLDER/pipe/, one thread per client
// reading one fixed-size request and writing one reply, one log line per
// request, and a clean stop on SIGTERM that removes the socket file.
#ifndef PROXY_SERVICES_COMMON_SERVICE_H_
#define PROXY_SERVICES_COMMON_SERVICE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/fixed_text.h"
#include "base/limits.h"
#include "core/settings.h"

// Request sizes written by the proxy's clients (zero-filled, NUL-terminated
// text), and the reply buffers they read into.
constexpr std::size_t kServiceRequestSize = 521;
constexpr std::size_t kFilterRequestSize = 1041;
constexpr std::size_t kServiceReplySize = 521;
constexpr std::size_t kFilterReplySize = 1041;

// Exit code of a service that does not start because its scanner or its data
// is missing; scripts/run_services.sh reports it as skipped.
constexpr int kServiceSkipExit = 3;

// The reply and, for the log line only, a short note saying why.
struct ServiceReply {
  FixedText<kFilterReplySize> mText;  // bytes sent back; empty = clean / nothing done
  FixedText<512> mNote;               // e.g. "file not found"; empty = nothing to add
};

// Handles one request text (NUL-terminated, at most the request size less
// one).  Runs on a client thread, several at once.
using ServiceHandler = void (*)(const char *szRequest, ServiceReply *pReply, void *pCtx);

// Switches every service takes.
struct ServiceOptions {
  int nRecvTimeoutMs;      // -T=ms: bound on reading a request and writing a reply
  uint64_t nMaxFileSize;   // -K=bytes: larger files are not inspected
  int nMaxClients;         // -C=n: clients served at once (more wait in the queue)
};

// Called for a switch the frame does not know; returns 0 when taken, 2 when
// its value is refused (after a message on stderr).  Unknown switches are
// ignored when no callback is given or it returns 1.
using ServiceSwitchFn = int (*)(char cSwitch, const char *szValue, void *pCtx);

// Parses the common switches:
//   -E=VAR  data folder $VAR/TORV/        -Z=DIR  data folder DIR itself
//   -W      also write the daily log file in DATAFOLDER/NAMElog/
//   -T=ms   request time bound (default 10000)
//   -K=n    largest file inspected in bytes (default nDefaultMax)
//   -C=n    clients served at once (default 64)
// Log lines always go to standard error.  Sets g_szDataDir, the log
// switches and g_szLogDir.  Returns 0, or 2 after a message on stderr.
int ServiceParseArgs(int argc, char **argv, const char *szName, uint64_t nDefaultMax, ServiceOptions *pOpt,
                     ServiceSwitchFn pfnExtra, void *pCtx);

// Description of one service.
struct ServiceDef {
  const char *szName;       // socket file name and log tag, e.g. "ruvocwfs"
  std::size_t nRequestSize; // bytes read per request
  std::size_t nReplySize;   // the client's reply buffer; replies are cut to one less
  ServiceHandler pfnHandle;
  void *pCtx;
};

// Serves until a stop signal: creates DATAFOLDER/pipe/, binds the socket,
// answers clients, and on SIGTERM/SIGINT/SIGHUP stops accepting, removes the
// socket file and waits (bounded) for the requests in flight.
// Returns the process exit code: 0 after a stop, 1 when the socket could not
// be set up, kServiceSkipExit when another instance already serves it.
// REQUIRES: ServiceParseArgs succeeded; called once, on the main thread,
// before any other thread is started.
int ServiceRun(const ServiceDef &def, const ServiceOptions &opt);

// The file-name part of a request: the text before the first TAB.
// Returns 1, or 0 when it is empty or does not fit a path.
int ServiceRequestFile(const char *szRequest, PathText *pPath);

// Writes the reason a request file could not be used (a PlatOpenRegularFile
// or PlatReadRegularFile result other than 1) to the reply's note.
void ServiceNoteFileResult(int nResult, uint64_t nSize, uint64_t nMax, ServiceReply *pReply);

// Reads the whole regular file a request names, at most nMax bytes.
// Returns 1 with the bytes in *pData, else 0 with the reason written to the
// reply's note (not found, unreadable or not a regular file, too large).
int ServiceReadRequestFile(const char *szPath, uint64_t nMax, std::vector<char> *pData, ServiceReply *pReply);

// Copies text for a log line: control characters (a TAB too) become '?'.
void ServiceLogText(const char *szIn, char *pOut, std::size_t nOut);

#endif  // PROXY_SERVICES_COMMON_SERVICE_H_
