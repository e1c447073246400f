// Line and command rules of the mail and FTP-control relay: when a client
// command or a server reply is complete, how a command line is classified,
// and the small texts taken from command lines.  Pure functions on memory;
// the relay steps feed them the bytes as they arrive.
#ifndef PROXY_RELAY_RELAY_TEXT_H_
#define PROXY_RELAY_RELAY_TEXT_H_

#include <cstddef>
#include <cstdint>

// Protocol numbers of the relay.
constexpr int kProtoSmtp = 1;
constexpr int kProtoPop3 = 2;
constexpr int kProtoImap4 = 3;
constexpr int kProtoFtp = 4;

// Characters of a line kept for the tests (an IMAP tag is at most 255).
constexpr std::size_t kLineHeadSize = 512;

// Incremental completion test of one client command or server reply.  The
// bytes are fed as they arrive; each is looked at once.
struct LineScan {
  int nProto;             // kProtoSmtp ...
  int nKind;              // server: 0 reply, 1 message, 2 collect only; client: 0 command, 1 body
  int bClient;            // 1 for a client command or body
  int bMultiLine;         // POP3 LIST/UIDL/CAPA without argument: only ".\r\n" completes
  char mTag[256];         // IMAP tag (with its blank); "" matches every line
  // Results.
  int bDone;
  int bContinuation;      // IMAP "+ " completed the reply
  int nCode;              // numeric code of the completing line (0 when none)
  int nLines;             // complete lines seen
  // IMAP client commands: literal data still to pass before the line
  // rules apply again, and the size of a synchronizing literal announced
  // by the completing line ("{N}"; -1 none), which the client sends only
  // after the server's "+" continuation.
  long long nLiteral;
  long long nSyncLiteral;
  // The current line.
  char mHead[kLineHeadSize];
  std::size_t nHead;
  std::size_t nLen;
  int bCr;                // the last byte of the current line was CR
};

void LineScanInit(LineScan *pScan, int nProto, int nKind, int bClient, int bMultiLine, const char *szTag);

// Feeds n bytes.  Returns 1 once complete; *pnUsed is then the count of the
// bytes of p that belong to the command or reply (through the completing
// line), else n.
int LineScanFeed(LineScan *pScan, const char *p, std::size_t n, std::size_t *pnUsed);

// Classification of one forwarded client line.
struct CommandClass {
  int nResult;            // 0 ordinary, 1 session end, 2 message in the reply
  int nMailState;         // new IMAP mailState, or -1 unchanged
  int bTop;               // POP3 TOP: forward as RETR
  unsigned long nTopMsg;  // message number of TOP
};
// Classifies szLine (with its line end) for protocol nProto.
void ClassifyCommand(int nProto, const char *szLine, CommandClass *pClass);

// 1 when s begins with szPrefix, ignoring ASCII case.
int StartsNoCase(const char *s, const char *szPrefix);

// The IMAP tag of a command: the text before the first blank (else before
// the first CR, else before the first LF) followed by one blank.
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

// Removes the CHUNKING and BINARYMIME lines from an SMTP EHLO reply held in
// p (n bytes, line by line): a client that used BDAT would hand its message
// over without DATA and so without inspection.  When the removed line was
// the last one, the line before it becomes the last ("250 ").  Returns the
// new length.
std::size_t FilterEhloReply(char *p, std::size_t n);

// A new mail identifier "%04d%02d%02d%02d%02d%02d%03d.%08lu" from the local
// time and a process-wide counter (read and incremented under its lock).
// pOut holds at least 32 bytes.
void MakeMailId(char *pOut, std::size_t nOut);

// The MakeMail boundary "----%s_%04d%02d%02d%02d%02d%02d%03d==" of the
// current UTC time.
void MakeBoundary(char *pOut, std::size_t nOut);

#endif  // PROXY_RELAY_RELAY_TEXT_H_
