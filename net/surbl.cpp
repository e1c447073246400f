#include "net/surbl.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "core/text_lines.h"
#include "platform/plat_resolve.h"

namespace surbl_detail {

std::size_t PreviousLabelStart(const char *szHost, std::size_t nPos) {
  std::size_t i = nPos;
  while (i > 0 && szHost[i - 1] != '.') --i;
  return i;
}

int IsAddressText(const char *szHost) {
  for (const char *p = szHost; *p; ++p)
    if (!isdigit(static_cast<unsigned char>(*p)) && *p != '.') return 0;
  return 1;
}

int BadQueryName(const char *szName) { return szName[0] == '.' || strstr(szName, "..") != nullptr; }

}  // namespace surbl_detail

void ParseSurblZone(const char *szLine, SurblZone *pZone) {
  FixedText<kDnsblLine> line;
  line.Assign(szLine);
  pZone->nLevel = 2;
  pZone->bLevelGiven = 0;
  pZone->bNoCache = 0;
  if (char *pComma = strrchr(line.data(), ',')) {
    *pComma = '\0';
    pZone->bLevelGiven = 1;
    if (pComma[1] == 'N' || pComma[1] == 'n') {
      pZone->bNoCache = 1;
      pZone->nLevel = 0;
    } else {
      pZone->nLevel = atoi(pComma + 1);
    }
  }
  pZone->mServer.Clear();
  if (char *pTab = strchr(line.data(), '\t')) {
    *pTab = '\0';
    pZone->mServer.Assign(pTab + 1);
  }
  pZone->mZone.Assign(line.c_str());
}

int SurblHostPart(const char *szText, int bHttpMode, SurblHost *pOut) {
  pOut->Clear();
  const char *p = szText;
  if (!bHttpMode) {
    // Mail and other modes see texts such as "user@host" or a URL: find
    // where a host begins, or give up.
    if (const char *q = strstr(p, "://")) {
      p = q + 3;
    } else if ((q = strstr(p, "www")) != nullptr || (q = strstr(p, "WWW")) != nullptr) {
      if (!strchr(q, '.')) return 0;
      p = q;
    } else if ((q = strchr(p, '@')) != nullptr) {
      if (!strchr(q, '.')) return 0;
      p = q + 1;
    } else {
      return 0;
    }
    while (*p == '=') ++p;
    if (const char *q = strstr(p, "://")) {
      p = q + 3;
    } else if ((q = strstr(p, "www")) != nullptr) {
      p = q;
    } else if ((q = strchr(p, '@')) != nullptr) {
      p = q + 1;
    }
  }
  std::size_t n = 0;
  while (n < kSurblHostSize - 1 && p[n] &&
         (isalnum(static_cast<unsigned char>(p[n])) || p[n] == '-' || p[n] == '.'))
    ++n;
  pOut->Assign(std::string_view(p, n));
  return n > 0 ? 1 : 0;
}

int Query_SURBLists(const char *szHost) {
  // A white-listed host is never looked up.
  int nWhite = ReadTextLines<kDnsblLine>(g_szDnswlFile.c_str(),
                                         [&](char *szLine) { return strcasecmp(szLine, szHost) == 0 ? 1 : 0; });
  if (nWhite == 1) return 0;

  SurblHost host;
  int bHttpMode = g_nProxyMode == kModeHttp;
  int bHostFound = SurblHostPart(szHost, bHttpMode, &host);
  int nListed = 0;
  ReadTextLines<kDnsblLine>(g_szDnsblFile.c_str(), [&](char *szLine) {
    if (!bHostFound) return 1;  // nothing to look up under any zone
    SurblZone zone;
    ParseSurblZone(szLine, &zone);
    int nHit = ForEachSurblQuery(host.c_str(), zone, [&](const char *szName) {
      // The zone's own server first (there is no local cache to bypass),
      // then the system resolver.
      if (!zone.mServer.Empty() && PlatQueryServerA(szName, zone.mServer.c_str(), kDnsServerWaitSec, kDnsServerTries))
        return 1;
      return PlatNameResolves(szName, 0);
    });
    if (!nHit) return 0;
    DebugLogF("[Query_SURBLists] %s -- %s Hit.\n", szLine, szHost);
    MetricCount(kMetVerdictSurbl);
    nListed = 1;
    return 1;
  });
  return nListed;
}
