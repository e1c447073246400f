// The spam classifier behind the "ruvospam" socket: asks SpamAssassin's
// spamd (SPAMC/1.5 protocol) about the message file named in the request.
//
// Request: "file" (POP3) or "file TAB client-address TAB reverse-path"
// (SMTP).  Reply: "Spam SCORE/THRESHOLD RULE,RULE,..." when spamd calls the
// message spam, empty otherwise.  A missing, unreadable, oversized file, an
// unreachable or failing spamd gets the empty reply and a note in the log.
#ifndef PROXY_SERVICES_SPAM_SPAMD_CLIENT_H_
#define PROXY_SERVICES_SPAM_SPAMD_CLIENT_H_

#include <cstddef>
#include <cstdint>

#include "base/fixed_text.h"
#include "services/common/service.h"

// Where spamd listens: a Unix socket path, or a numeric host and port.
struct SpamdAddress {
  FixedText<108> mPath;   // set for a Unix socket
  FixedText<64> mHost;    // numeric IPv4 or IPv6 text otherwise
  int nPort;
};

// Parses "/path", "host:port", "[v6-address]:port" or "host" (port 783).
// Returns 1, or 0 when the text is none of these.
int SpamdParseAddress(const char *szText, SpamdAddress *pAddr);

// What spamd said about one message.
struct SpamdVerdict {
  int bSpam;
  FixedText<32> mScore;      // "1003.3/5.0"
  FixedText<1024> mRules;    // "GTUBE,MISSING_DATE,..."
};

// Parses a spamd reply to SYMBOLS.  1 parsed, -1 not a successful reply
// (pWhy says what was wrong).
int SpamdParseReply(const char *pReply, int nLen, SpamdVerdict *pVerdict, char *pWhy, std::size_t nWhy);

// Sends one message to spamd with SYMBOLS and parses the answer, waiting at
// most nTimeoutMs in all.  1 answered, 0 spamd not reachable, -1 failure
// (pWhy says why).
int SpamdCheck(const SpamdAddress &addr, const char *pMsg, std::size_t nLen, int nTimeoutMs, SpamdVerdict *pVerdict,
               char *pWhy, std::size_t nWhy);

// 1 when spamd answers PING within nTimeoutMs, else 0.
int SpamdPing(const SpamdAddress &addr, int nTimeoutMs);

// Context of SpamHandle.
struct SpamContext {
  SpamdAddress addr;
  uint64_t nMaxFileSize;   // larger messages are not classified
  int nSpamdTimeoutMs;     // bound on one spamd exchange
};

// ServiceHandler of the spam classifier; pCtx is a SpamContext.
void SpamHandle(const char *szRequest, ServiceReply *pReply, void *pCtx);

#endif  // PROXY_SERVICES_SPAM_SPAMD_CLIENT_H_
