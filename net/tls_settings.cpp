#include "net/tls_settings.h"

#include <cstdio>
#include <cstring>

#include "base/limits.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/text_lines.h"

int MatchTlsLine(char *szLine, const char *szKeyPlus, const char *szKeyMinus, FixedText<261> *pCertFile,
                 FixedText<263> *pKeyFile) {
  // Anything from the first "=" on belongs to the connect table.
  szLine[strcspn(szLine, "=\r\n")] = '\0';
  char *pMark = strchr(szLine, '+');
  if (!pMark) pMark = strchr(szLine, '-');
  pCertFile->Clear();
  pKeyFile->Clear();
  if (pMark) {
    char *pTab = strchr(pMark + 1, '\t');
    if (pTab) {
      // A cut file name would name another file: keep neither then.
      int nFit = pCertFile->Assign(std::string_view(pMark + 1, static_cast<size_t>(pTab - pMark - 1)));
      nFit &= pKeyFile->Assign(pTab + 1);
      if (!nFit) {
        pCertFile->Clear();
        pKeyFile->Clear();
      }
    }
    pMark[1] = '\0';
  }
  if (strcmp(szLine, szKeyPlus) == 0) return 1;
  if (strcmp(szLine, szKeyMinus) == 0) return 0;
  pCertFile->Clear();
  pKeyFile->Clear();
  return -1;
}

int Query_SecureSocketLayer(const char *szClientIP, int nLocalPort, FixedText<261> *pCertFile,
                            FixedText<263> *pKeyFile) {
  FixedText<128> keyPlus, keyMinus;
  keyPlus.Format("%s %d+", szClientIP, nLocalPort);
  keyMinus.Format("%s %d-", szClientIP, nLocalPort);
  pCertFile->Clear();
  pKeyFile->Clear();
  int nResult = -1;
  FILE *fp = g_szSettingsFile.Empty() ? nullptr : fopen(g_szSettingsFile.c_str(), "rb");
  if (fp) {
    char szLine[kSettingsLine];
    while (nResult < 0 && ReadFileLine(fp, szLine, sizeof szLine, LongLine::kSplit) > 0) {
      char c = szLine[0];
      if (c == '\0' || c == '\n' || c == '\r' || c == ' ' || c == '"' || c == '\'') continue;
      nResult = MatchTlsLine(szLine, keyPlus.c_str(), keyMinus.c_str(), pCertFile, pKeyFile);
    }
    fclose(fp);
  }
  if (nResult == 1)
    DebugLogF("[Query_SecureSocketLayer] %s %d - found.\n", szClientIP, nLocalPort);
  else if (nResult == 0)
    DebugLogF("[Query_SecureSocketLayer] %s %d - found. (STARTTLS on)\n", szClientIP, nLocalPort);
  else
    DebugLogF("[Query_SecureSocketLayer] %s %d - not found.\n", szClientIP, nLocalPort);
  return nResult == 1 ? 1 : 0;
}
