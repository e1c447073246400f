// The attachment compression service "qzmail2zip": rewrites a spooled mail
// message in place (same name, through a temporary file and a rename) with
// its large attachments moved into one zip attachment, and replies a short
// text when it compressed something.
#ifndef PROXY_SERVICES_ZIP_ZIP_SERVICE_H_
#define PROXY_SERVICES_ZIP_ZIP_SERVICE_H_

#include <cstdint>
#include <mutex>

#include "services/common/service.h"

constexpr const char *kZipName = "qzmail2zip";
// Attachments larger than this many decoded bytes are compressed (-S).
constexpr uint64_t kZipDefaultThreshold = 100 * 1024;

struct ZipContext {
  uint64_t nThreshold = kZipDefaultThreshold;
  uint64_t nMaxFile = 0;       // -K
  std::mutex lock;             // one rewrite at a time
};

// Only files inside the data folder are rewritten: the proxy's message files
// lie in its "cache" subfolder, and a client of the socket must not be able
// to make the service rewrite any other file.  1 allowed, 0 refused.
int ZipPathAllowed(const char *szPath, const char *szDataDir);

// The service's request handler (ServiceHandler; pCtx is a ZipContext).
void ZipHandle(const char *szRequest, ServiceReply *pReply, void *pCtx);

#endif  // PROXY_SERVICES_ZIP_ZIP_SERVICE_H_
