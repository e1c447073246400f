// The date text of generated replies.
#ifndef PROXY_CORE_DATE_TEXT_H_
#define PROXY_CORE_DATE_TEXT_H_

#include <cstddef>
#include <cstdint>

// Date text of generated replies: local standard time (daylight saving
// taken out) as "Sun, 06 Dec 2026 09:05:01 +0900", or "... GMT" when the
// standard offset is 0.  pOut holds at least kDateTextSize bytes.
constexpr std::size_t kDateTextSize = 64;
void MakeDateText(char *pOut);
// The same for a given time (seconds since the epoch); for tests.
void MakeDateTextAt(int64_t nTime, char *pOut);

#endif  // PROXY_CORE_DATE_TEXT_H_
