// The virus scanner behind the "ruvoavs" socket: one ClamAV engine, loaded
// once from a signature database folder and shared by every request.
//
// Request: "file TAB protocol-code" (the code only shows in the log).
// Reply:   the signature name of the first finding, empty when clean.  A
// missing, unreadable, non-regular or oversized file, or a scan error, gets
// the empty reply and a note in the request's log line.
#ifndef PROXY_SERVICES_AVS_AVS_ENGINE_H_
#define PROXY_SERVICES_AVS_AVS_ENGINE_H_

#include <cstddef>
#include <cstdint>

#include "services/common/service.h"

struct AvsEngine;

// The system's ClamAV database folder (the default of -D).
const char *AvsDefaultDbDir();

// Loads every signature database in szDbDir and compiles the engine.
// Scans are cut off after nMaxScanMs.  Returns 1 with *ppEngine and
// *pnSigs; 0 when the folder holds no signatures (the service has nothing
// to scan with); -1 on another failure.  pErr receives the reason.
int AvsLoad(const char *szDbDir, int nMaxScanMs, AvsEngine **ppEngine, unsigned *pnSigs, char *pErr,
            std::size_t nErr);
// Frees the engine when no scan is using it: 1 freed, 0 still in use (it
// is then left to the process exit).
int AvsFree(AvsEngine *pEngine);

// Context of AvsHandle.
struct AvsContext {
  AvsEngine *pEngine;
  uint64_t nMaxFileSize;  // larger files are not scanned (empty reply)
};

// ServiceHandler of the virus scanner; pCtx is an AvsContext.
void AvsHandle(const char *szRequest, ServiceReply *pReply, void *pCtx);

#endif  // PROXY_SERVICES_AVS_AVS_ENGINE_H_
