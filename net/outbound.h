// Outbound connections: the connect table of the mode's settings file and
// ConnectHost, the one routine that opens a server connection for a client.
#ifndef PROXY_NET_OUTBOUND_H_
#define PROXY_NET_OUTBOUND_H_

#include "base/fixed_text.h"
#include "net/connection_record.h"

// Values of one connect-table entry.  An empty text means "not given".
struct ConnectEntry {
  FixedText<256> mMyAddr;  // numeric local address to connect from
  FixedText<256> mServer;  // server host name or address
  FixedText<9> mPort;      // server port with its flags ("995*", "110+-", "995+!")
};

// Splits a matched connect-table line (line end already cut) into its
// values:
//   KEY ("addr port" + "=", "+" or "-")  "="  MyAddr  ","  server " " port[flags]  ","  comment
// The line is cut at the comment, which is logged as
// "[GetConnectTable] [Hit] %s\n".  A value longer than its field makes the
// whole entry void (all outputs empty): a cut host, address or port would
// connect somewhere else.  Returns 1 when values were taken, 0 when the line
// has no "=" or a value did not fit (outputs empty).
int ParseConnectLine(char *szLine, ConnectEntry *pEntry);

// Looks the key (address text, port) up in the connect table: the first
// line that begins, ignoring case, with "addr port=", "addr port+" or
// "addr port-" ends the scan, whatever it holds.  Lines beginning with LF,
// CR, blank, '"' or '\'' are comments.  A missing settings file prints
// "[GetConnectTable] file not found (%s)\n" on standard output.
// Returns 1 when a line matched, 0 when none did (outputs empty then).
int GetConnectTable(const char *szAddr, int nPort, ConnectEntry *pEntry);

// Reads the port flags of a connect-table port text into the record and
// cuts them off: "*" sets bPassThrough (and "+"/"-" are not looked at);
// otherwise "+" sets bSvTls and "-" sets bSvStartTls, and "!" sets
// bSvNoVerify (the server's certificate is not checked).  The four flags
// are reset first.
void ReadPortFlags(ConnectionRecord *pRec, char *szPort);

// Writes one start-up log line for every connect-table entry of the
// settings file that turns the check of the server's certificate off
// (flag "!" with "+" or "-").  Returns the count of such entries.
int LogUncheckedTlsEntries();

// What ConnectHost did besides returning the socket.
struct ConnectResult {
  FixedText<256> mServer;  // the server connected: the connect-table server, else the host
  int bUpstream;           // HTTP mode: a connect-table server replaced the host, so
                           // the requests go to an upstream proxy (0 in other modes)
  int bReused;             // the kept server connection was returned, nothing connected
};

// Opens the server connection for the record to szHost (at most 255
// characters) and nPort.  Applies the connect table keyed by mLocalIP and
// nLocalPort, the IPv4 / IPv6 choice (-i 2 falls back to the other family),
// MyAddr binding outside HTTP mode, connect retries (-$ attempts, pauses
// growing by 100 ms, a fresh socket each time) and the socket time-outs.
// bMayReuse (HTTP handling only): the kept server connection nSvSock may
// serve this request; in HTTP mode it is returned when szHost is the host
// it was opened for (mSvHost), and a kept connection to another host is
// closed first.  Without it nSvSock is neither reused nor closed.
// An empty host closes the kept server connection and clears bKeepAlive
// (HTTP handling) and returns -1.  pResult, when not null, receives the
// server used and the upstream and reuse marks of a success.
// Returns the connected socket (the caller stores it in nSvSock) or -1;
// every failure is logged here.
// Blocks for at most: resolution + attempts x (connect wait + pause).
int ConnectHost(ConnectionRecord *pRec, const char *szHost, int nPort, int bMayReuse, ConnectResult *pResult);

#endif  // PROXY_NET_OUTBOUND_H_
