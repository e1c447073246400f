// TLS lines of the mode's settings file: which listener speaks TLS to
// which client, with which certificate and key.
#ifndef PROXY_NET_TLS_SETTINGS_H_
#define PROXY_NET_TLS_SETTINGS_H_

#include "base/fixed_text.h"

// Looks up "client-address port" with the marker "+" (implicit TLS) or "-"
// (STARTTLS):  ADDR " " PORT ("+"|"-") CERTFILE TAB KEYFILE ["=" ...]
// Returns 1 for a "+" entry (names filled), 0 otherwise; a "-" entry keeps
// the names for STARTTLS.  An entry without TAB, or a name that does not
// fit, leaves both names empty.  Logs the outcome.
int Query_SecureSocketLayer(const char *szClientIP, int nLocalPort, FixedText<261> *pCertFile,
                            FixedText<263> *pKeyFile);

// One line of the lookup (line end cut).  Returns 1 for the "+" key, 0 for
// the "-" key (names kept), -1 for any other line (names cleared).
int MatchTlsLine(char *szLine, const char *szKeyPlus, const char *szKeyMinus, FixedText<261> *pCertFile,
                 FixedText<263> *pKeyFile);

#endif  // PROXY_NET_TLS_SETTINGS_H_
