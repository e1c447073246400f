#include "services/avs/avs_engine.h"

#include <clamav.h>

#include <atomic>
#include <cinttypes>
#include <cstring>
#include <cstdio>
#include <mutex>

#include "core/log.h"
#include "platform/plat_file.h"

struct AvsEngine {
  cl_engine *pEngine;
  std::atomic<int> nScans;  // scans in progress
};

namespace {

std::once_flag g_InitOnce;
int g_nInitRc = CL_SUCCESS;

// libclamav's own messages: warnings and errors go to the debug log, the
// chatter below them is dropped.
void OnClamMessage(enum cl_msg severity, const char *, const char *szMsg, void *) {
  if (severity < CL_MSG_WARN) return;
  DebugLogF("[ruvoavs] libclamav: %s%s", szMsg, szMsg[0] && szMsg[strlen(szMsg) - 1] == '\n' ? "" : "\n");
}

void InitLibrary() {
  cl_set_clcb_msg(OnClamMessage);
  g_nInitRc = cl_init(CL_INIT_DEFAULT);
}

}  // namespace

const char *AvsDefaultDbDir() { return cl_retdbdir(); }

int AvsLoad(const char *szDbDir, int nMaxScanMs, AvsEngine **ppEngine, unsigned *pnSigs, char *pErr,
            std::size_t nErr) {
  std::call_once(g_InitOnce, InitLibrary);
  if (g_nInitRc != CL_SUCCESS) {
    snprintf(pErr, nErr, "cl_init: %s", cl_strerror(static_cast<cl_error_t>(g_nInitRc)));
    return -1;
  }
  if (!PlatFileExists(szDbDir)) {
    snprintf(pErr, nErr, "no signature database folder %s", szDbDir);
    return 0;
  }
  cl_engine *pEngine = cl_engine_new();
  if (!pEngine) {
    snprintf(pErr, nErr, "cl_engine_new failed");
    return -1;
  }
  unsigned nSigs = 0;
  cl_error_t rc = cl_load(szDbDir, pEngine, &nSigs, CL_DB_STDOPT);
  if (rc != CL_SUCCESS || nSigs == 0) {
    // An empty folder is "nothing to scan with", not a broken installation.
    snprintf(pErr, nErr, "no signatures loaded from %s (%s)", szDbDir,
             rc != CL_SUCCESS ? cl_strerror(rc) : "empty");
    cl_engine_free(pEngine);
    return rc == CL_SUCCESS || rc == CL_EOPEN ? 0 : -1;
  }
  if (nMaxScanMs > 0) cl_engine_set_num(pEngine, CL_ENGINE_MAX_SCANTIME, nMaxScanMs);
  rc = cl_engine_compile(pEngine);
  if (rc != CL_SUCCESS) {
    snprintf(pErr, nErr, "cl_engine_compile: %s", cl_strerror(rc));
    cl_engine_free(pEngine);
    return -1;
  }
  AvsEngine *p = new (std::nothrow) AvsEngine{pEngine, {0}};
  if (!p) {
    cl_engine_free(pEngine);
    snprintf(pErr, nErr, "out of memory");
    return -1;
  }
  *ppEngine = p;
  *pnSigs = nSigs;
  return 1;
}

int AvsFree(AvsEngine *pEngine) {
  if (!pEngine) return 1;
  if (pEngine->nScans.load() != 0) return 0;
  cl_engine_free(pEngine->pEngine);
  delete pEngine;
  return 1;
}

void AvsHandle(const char *szRequest, ServiceReply *pReply, void *pCtx) {
  const AvsContext &ctx = *static_cast<const AvsContext *>(pCtx);
  PathText file;
  if (!ServiceRequestFile(szRequest, &file)) {
    pReply->mNote.Assign("no usable file name");
    return;
  }
  int fd = -1;
  uint64_t nSize = 0;
  int rc = PlatOpenRegularFile(file.c_str(), ctx.nMaxFileSize, &fd, &nSize);
  if (rc != 1) {
    ServiceNoteFileResult(rc, nSize, ctx.nMaxFileSize, pReply);
    return;
  }
  // Archives and mail are opened up; the engine is only read here, so any
  // number of scans may share it.
  cl_scan_options opts{};
  opts.parse = ~0u;
  opts.general = 0;
  const char *szVirus = nullptr;
  unsigned long nScanned = 0;
  ctx.pEngine->nScans.fetch_add(1);
  cl_error_t nRc = cl_scandesc(fd, file.c_str(), &szVirus, &nScanned, ctx.pEngine->pEngine, &opts);
  ctx.pEngine->nScans.fetch_sub(1);
  PlatCloseFd(fd);
  if (nRc == CL_VIRUS) {
    pReply->mText.Assign(szVirus ? szVirus : "Unknown.Virus");
  } else if (nRc != CL_CLEAN) {
    pReply->mNote.Format("scan failed: %s", cl_strerror(nRc));
  }
}
