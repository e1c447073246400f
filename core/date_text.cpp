#include "core/date_text.h"

#include <cstdio>

#include "platform/plat_time.h"

namespace {

const char *const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

void MakeDateTextAt(int64_t nTime, char *pOut) {
  PlatTm local;
  PlatLocalTime(nTime, &local);
  // Generated replies carry local standard time: daylight saving is taken
  // out, and the zone is the standard offset.
  long nStdOff = local.nGmtOff - (local.bDst ? 3600 : 0);
  PlatTm t;
  PlatUtcTime(nTime + nStdOff, &t);
  char szZone[16];
  if (nStdOff == 0) {
    snprintf(szZone, sizeof szZone, "GMT");
  } else {
    long nAbsMin = (nStdOff < 0 ? -nStdOff : nStdOff) / 60;
    if (nAbsMin > 1439) nAbsMin = 1439;
    snprintf(szZone, sizeof szZone, "%c%02ld%02ld", nStdOff < 0 ? '-' : '+', nAbsMin / 60, nAbsMin % 60);
  }
  snprintf(pOut, kDateTextSize, "%3s, %02d %3s %04d %02d:%02d:%02d %s", kDayNames[t.nWeekDay % 7], t.nDay,
           kMonthNames[(t.nMonth + 11) % 12], t.nYear, t.nHour, t.nMinute, t.nSecond, szZone);
}

void MakeDateText(char *pOut) { MakeDateTextAt(PlatNow(nullptr), pOut); }
