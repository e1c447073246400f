#include "core/spool_file.h"

#include "core/settings.h"
#include "core/text_lines.h"
#include "platform/plat_file.h"
#include "platform/plat_time.h"

std::size_t ReadLine(FILE *pFile, char *pBuf, std::size_t nSize) { return ReadFileLine(pFile, pBuf, nSize, LongLine::kSplit); }

// On this platform an existing file can always be opened; the retries only
// bridge a writer that is still moving the file into place.  A file that
// does not exist is not waited for (the retry limit may stand for minutes).
namespace {

// The first attempt decides most opens: a file that is there opens at once,
// and one that is not there for reading is not waited for.
FILE *OpenSpoolTries(const char *szPath, const char *szMode, unsigned nAttempts) {
  FILE *pFile = PlatFileOpen(szPath, szMode);
  if (pFile != nullptr) return pFile;
  if (szMode[0] == 'r' && !PlatFileExists(szPath)) return nullptr;
  if (nAttempts <= 1) return nullptr;
  PlatSleepMs(kFilePollMs);
  return PlatSpoolOpenRetry(szPath, szMode, nAttempts - 1);
}

}  // namespace

FILE *OpenSpool(const char *szPath, const char *szMode) {
  return OpenSpoolTries(szPath, szMode, g_nRetryLimit ? g_nRetryLimit : 1);
}

FILE *OpenSpoolLong(const char *szPath, const char *szMode) {
  return OpenSpoolTries(szPath, szMode, g_nRetryLimit ? g_nRetryLimit * 5 : 1);
}

void DeleteSpool(const char *szPath) {
  for (int i = 0; i < 600; ++i) {
    if (PlatSpoolDelete(szPath, 1) >= 0) return;
    PlatSleepMs(100);
  }
}

void KeepSpool(const char *szPath, int nSlot) {
  if (PlatSpoolKeep(szPath, nSlot) < 0) DeleteSpool(szPath);
}
