// Line and command rules of the mail and FTP-control relay: when a client
// command or a server reply is complete, how a command line is classified,
// and the small texts taken from command lines.  Pure functions on memory;
// the relay steps feed them the bytes as they arrive.
#ifndef PROXY_RELAY_RELAY_TEXT_H_
#define PROXY_RELAY_RELAY_TEXT_H_

#include <cstddef>
#include <cstdint>

#include "core/text_case.h"

// Protocol numbers of the relay.
constexpr int kProtoSmtp = 1;
constexpr int kProtoPop3 = 2;
constexpr int kProtoImap4 = 3;
constexpr int kProtoFtp = 4;

// Characters of a line kept for the tests.
constexpr std::size_t kLineHeadSize = 512;
// Largest IMAP literal a client may announce ("{N}", "{N+}", "~{N}"): the
// 32-bit sizes of RFC 3501.  Anything larger (or longer than ten digits)
// is refused by the proxy instead of being spooled.
constexpr long long kImapLiteralMax = 4294967295LL;
// Longest SMTP command line, line end included (RFC 5321 text line).
constexpr std::size_t kSmtpLineMax = 1000;

// Incremental completion test of one client command or server reply.  The
// bytes are fed as they arrive; each is looked at once.
//
// IMAP lines follow literals in both directions: a line that ends in
// "{N}", "{N+}" or "~{N}" is followed by N bytes of data that never end
// anything, and the line goes on behind them.  Only the start of such a
// logical line is tested for the tag or a continuation.
struct LineScan {
  int nProto;             // kProtoSmtp ...
  int nKind;              // server: 0 reply, 1 message, 2 collect only; client: 0 command, 1 body
  int bClient;            // 1 for a client command or body
  int bMultiLine;         // POP3 LIST/UIDL/CAPA without argument: only ".\r\n" completes
  const char *pTag;       // IMAP tag with its blank (the caller's text); "" matches every line
  std::size_t nTag;
  // Results.
  int bDone;
  int bContinuation;      // IMAP "+ " completed the reply
  int nCode;              // numeric code of the completing line (0 when none)
  int nLines;             // complete lines seen
  std::size_t nLongest;   // longest line seen, line end included (literal data not counted)
  // IMAP: literal data still to pass before the line goes on; a client's
  // completing line may announce a synchronizing literal ("{N}", -1 none),
  // which the client sends only after the server's "+" continuation, or
  // one of absurd size (bBadLiteral).
  long long nLiteral;
  long long nSyncLiteral;
  int bBadLiteral;
  int bAtLineStart;       // the next byte starts a logical line outside literal data
  // The current line.
  char mHead[kLineHeadSize];
  std::size_t nHead;
  std::size_t nLen;
  int bCr;                // the last byte of the current line was CR
  int bTagOk;             // the line so far agrees with the tag
  int bAfterLiteral;      // the line continues a line that ended in a literal
  int nLitState;          // literal announcement: 0 none, 1 "{", 2 digits, 3 "+", 4 "}", 5 "}\r"
  int nLitDigits;
  int bLitPlus;
  long long nLitValue;
};

// szTag must stay valid while the scan is fed.
void LineScanInit(LineScan *pScan, int nProto, int nKind, int bClient, int bMultiLine, const char *szTag);

// Feeds n bytes.  Returns 1 once complete; *pnUsed is then the count of the
// bytes of p that belong to the command or reply (through the completing
// line), else n.
int LineScanFeed(LineScan *pScan, const char *p, std::size_t n, std::size_t *pnUsed);

// An SMTP message body (after DATA) as the client sends it, rewritten for
// the server: it ends only at CR LF "." CR LF (the body's start counts as a
// line start).  Every bare CR and bare LF becomes CR LF, and a line that
// then begins with "." is dot-stuffed, so that no server can read "\n.\n"
// or "\r.\r" as the end of a message; a body of CR LF lines passes
// unchanged.
struct SmtpBody {
  int nState;             // 0 line start, 1 ".", 2 ".\r", 3 in a line, 4 CR in a line
  int bOutLineStart;      // the output is at the start of a line
  int bDone;
};
void SmtpBodyInit(SmtpBody *pBody);
// Feeds n bytes; writes the rewritten bytes to pOut (room for 2n+3 bytes)
// and their count to *pnOut.  Returns 1 at the end of the body: the
// terminating ".\r\n" is then written and *pnUsed counts the bytes of p up
// to it; else *pnUsed is n.
int SmtpBodyFeed(SmtpBody *pBody, const char *p, std::size_t n, char *pOut, std::size_t *pnOut,
                 std::size_t *pnUsed);

// Classification of one forwarded client line.
struct CommandClass {
  int nResult;            // 0 ordinary, 1 session end, 2 message in the reply
  int nMailState;         // new IMAP mailState, or -1 unchanged
  int bTop;               // POP3 TOP: forward as RETR
  unsigned long nTopMsg;  // message number of TOP
};
// Classifies szLine (with its line end) for protocol nProto.
void ClassifyCommand(int nProto, const char *szLine, CommandClass *pClass);

// The IMAP tag of a command: the text before the first blank (else before
// the first CR, else before the first LF) followed by one blank.  A tag
// that does not fit in nOut is cut (the caller gives room for a line).
void ImapTagOf(const char *szLine, char *pOut, std::size_t nOut);

// The address of a MAIL FROM or RCPT command line: behind the first ":",
// without leading blanks and "<", cut at the first ">", CR or LF.  A line
// without ":" gives the whole line so cut.
void MailAddress(const char *szLine, char *pOut, std::size_t nOut);

// POP3 "top N L": 1 and the line count L (the number behind the line's
// last blank), else 0.
int TopLineCount(const char *szLine, long *pnLines);

// Reply code of a line: its first three characters when they are digits,
// else 0.
int ReplyCode(const char *szLine);

// Rewrites an SMTP EHLO reply held in p (n bytes, room for nCap): removes
// the CHUNKING and BINARYMIME lines (a client that used BDAT would hand its
// message over without DATA and so without inspection) and the STARTTLS
// lines, then adds "250 STARTTLS" as the last line when bStartTls is set
// (the proxy offers TLS to the client).  When a removed line was the last
// one, the line before it becomes the last ("250 ").  A reply that is not
// a 250 reply is left alone.  Returns the new length.
std::size_t FilterEhloReply(char *p, std::size_t n, std::size_t nCap, int bStartTls);

// The same for a POP3 CAPA reply ("+OK", capability lines, "."): the STLS
// line is removed and, when bStls is set, "STLS" is listed before the
// final line.  Returns the new length.
std::size_t FilterCapaReply(char *p, std::size_t n, std::size_t nCap, int bStls);

// IMAP: removes the STARTTLS capability from a "* CAPABILITY" line or a
// "[CAPABILITY ...]" response code in one line held in p (n bytes, line
// end included); the relay does not carry an IMAP TLS handshake.  Returns
// the new length.
std::size_t FilterImapCapability(char *p, std::size_t n);

// A new mail identifier "%04d%02d%02d%02d%02d%02d%03d.%08lu" from the local
// time and a process-wide counter (read and incremented under its lock).
// pOut holds at least 32 bytes.
void MakeMailId(char *pOut, std::size_t nOut);

// The MakeMail boundary "----%s_%04d%02d%02d%02d%02d%02d%03d==" of the
// current UTC time.
void MakeBoundary(char *pOut, std::size_t nOut);

#endif  // PROXY_RELAY_RELAY_TEXT_H_
