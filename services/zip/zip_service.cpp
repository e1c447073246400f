#include "services/zip/zip_service.h"

#include <cstring>
#include <string>
#include <vector>

#include "core/settings.h"
#include "platform/plat_file.h"
#include "platform/plat_ipc_server.h"
#include "services/zip/mail_zip.h"

int ZipPathAllowed(const char *szPath, const char *szDataDir) {
  std::size_t nDir = strlen(szDataDir);
  if (nDir == 0 || strncmp(szPath, szDataDir, nDir) != 0) return 0;
  // No ".." component may lead back out of the folder.
  const char *p = szPath + nDir;
  while (*p) {
    const char *pEnd = strchr(p, '/');
    std::size_t n = pEnd ? static_cast<std::size_t>(pEnd - p) : strlen(p);
    if (n == 2 && p[0] == '.' && p[1] == '.') return 0;
    if (!pEnd) break;
    p = pEnd + 1;
  }
  return szPath[nDir] != '\0';
}

void ZipHandle(const char *szRequest, ServiceReply *pReply, void *pArg) {
  ZipContext *pCtx = static_cast<ZipContext *>(pArg);
  PathText path;
  if (!ServiceRequestFile(szRequest, &path)) {
    pReply->mNote.Assign("no usable file name");
    return;
  }
  if (!ZipPathAllowed(path.c_str(), g_szDataDir.c_str())) {
    pReply->mNote.Assign("refused: the file is not inside the data folder");
    return;
  }
  std::lock_guard<std::mutex> lock(pCtx->lock);
  std::vector<char> data;
  if (!ServiceReadRequestFile(path.c_str(), pCtx->nMaxFile, &data, pReply)) return;
  std::string out;
  MailZipReport report;
  int nRc = MailZipMessage(data.data(), data.size(), pCtx->nThreshold, &out, &report);
  if (nRc == 0) {
    pReply->mNote.Format("%zu bytes, no attachment above %llu bytes", data.size(),
                         static_cast<unsigned long long>(pCtx->nThreshold));
    return;
  }
  if (nRc < 0) {
    pReply->mNote.Format("left as it is: %s", report.mProblem.c_str());
    return;
  }
  // Temporary file and rename: the message is never seen half written, and a
  // failed write leaves the original untouched.
  if (PlatWriteWholeFile(path.c_str(), out.data(), out.size()) != 1) {
    pReply->mNote.Assign("left as it is: the rewritten message could not be written");
    return;
  }
  pReply->mText.Format("Compressed %d attachment%s (%llu bytes) into %s (%llu bytes)", report.nZipped,
                       report.nZipped == 1 ? "" : "s", static_cast<unsigned long long>(report.nBytesIn),
                       kZipAttachmentName, static_cast<unsigned long long>(report.nZipBytes));
  pReply->mNote.Format("%zu -> %zu bytes%s", data.size(), out.size(), report.bSmtpForm ? ", SMTP form" : "");
}
