// Policy list files and their lookups.
//
// Every list is a small text file in the data folder, read from the top at
// every lookup (from a copy in memory that is refreshed whenever the file
// changes), so an edit takes effect with the next lookup.  Each file has its own line length (a longer line is read in
// pieces, each piece a line of its own) and its own comment characters; a
// line is cut at its first CR or LF, and the first matching line decides.
// Lookups share nothing but the files and may run on any thread.
#ifndef PROXY_CORE_LISTS_H_
#define PROXY_CORE_LISTS_H_

#include <cstdint>

// Text patterns: "*" stands for any run of characters (also none); ASCII
// letters compare without case.  The part before the first "*" must begin
// the text, each following part is searched from where the previous one
// ended, and a non-empty last part must be found exactly at the end of the
// text (so "*.test" does not match "a.test.test": the first ".test" found is
// not the tail).  The pattern is not modified.
// Returns 1 match, 0 no match.
int TextMatch(char *szPattern, const char *szText);

// Address patterns, recognised in this order:
//   text with "*"        the address begins with the text before the "*"
//                        (exact case);
//   a.b.c.d/n (n 0..32)  IPv4 prefix: 0 every address, 32 exactly a.b.c.d,
//                        1..31 the fixed leading octets and a range of
//                        values of the first varying octet starting at the
//                        pattern's octet;
//   text with ":"        IPv6 (optionally /n, 0..128): both sides expanded
//                        to the 39-character form, the first n bits' digits
//                        compared with exact case;
//   anything else        exact, case-sensitive equality.
// Malformed patterns and addresses simply fail to match; nothing is read or
// written outside the two texts.  The pattern is not modified.
// Returns 1 match, 0 no match.
int AddressMatch(char *szPattern, const char *szAddress);

// Black/white list lookup.  When szPath contains "black.db" and szKey1 has
// the form "https://" host ":" port "/", reports a hit without reading the
// file.  Otherwise 1 when a pattern line of the file matches szKey1 or, if
// not nullptr, szKey2; 0 when none does or the file cannot be opened.
int QueryDBList(const char *szPath, const char *szKey1, const char *szKey2);

// The decision of the shared white and black lists ("white.db" and
// "black.db" in the data folder) for one destination, keys as for
// QueryDBList: the white list first; a destination it lists is never
// black-listed.  A black verdict is counted in the metrics.
enum ListVerdict { kListNone = 0, kListWhite = 1, kListBlack = 2 };
ListVerdict WhiteBlackVerdict(const char *szKey1, const char *szKey2);

// Connection permission for a client address (the mode's "-con.ini").
// Returns 0 reject, 1 admit, 2 admit (the matching line says "pass").
// A missing file, or one made only of comment lines, admits everybody;
// otherwise a client that no line matches is rejected.
int QueryConnectPerimisson(const char *szClient);

// 1 when the client address is listed in the mode's client white list
// ("-conwl.db"); 0 when not or when the file cannot be opened.
int ClientWhiteListed(const char *szClient);

// 1 when "address:port" matches a line of the mode's zip list ("-zip.db");
// 0 when not or when the file cannot be opened.
int ZipListed(const char *szAddr, int nPort);

// 1 when "address:port" matches a line of the access-log mask list
// ("ncsalog-mask.db"): that listener is not written to the access log.
int LogMasked(const char *szAddr, int nPort);

// SOCKS protocol class of a destination ("host" or "host anything", port):
// 0 HTTP, 1 SMTP, 2 POP3, 3 IMAP4, 4 FTP, 5 FTP data, 6 other, -1 none.
// Rules come from "socks-ptl.ini" ("port,class[,pass]", "host:port,class
// [,pass]", "[v6host]:port,class[,pass]"), or from a built-in port table
// when the file cannot be opened.  Sets *pPassThrough to 1 when the rule
// relays the destination without inspection, else 0.
int Query_SocksProtocol(const char *szDest, int nPort, int32_t *pPassThrough);

#endif  // PROXY_CORE_LISTS_H_
