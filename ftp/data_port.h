// The port chooser shared by the FTP data channel, the ftp:// client and the
// SOCKS BIND and UDP handlers, and the parser of PORT/PASV/EPRT/EPSV ports.
#ifndef PROXY_FTP_DATA_PORT_H_
#define PROXY_FTP_DATA_PORT_H_

// Binds a stream socket (IPv4 when bIPv4, else IPv6) to the any-address and
// *pnPort (host order; 0 lets the system choose), reads the bound port back
// into *pnPort and closes the socket.  0 done; -1 the bind failed; -2 the
// bound address could not be read.
int ProbePort(int bIPv4, int *pnPort);

// A port for a new listener.  With a port range (-N, both bounds non-zero)
// the next port from the process-wide cursor that ProbePort finds free (the
// cursor wraps from the high bound to the low one; its read and advance are
// one atomic step); otherwise a port the system assigns.
// Returns the port, or -1 when every port of the range was busy once round
// (the search is bounded so a full range cannot hold a thread for ever).
int GetDataPort(int bIPv4);

// Reads the peer's port from the argument of PORT/PASV (bEpsvForm 0) or
// EPRT/EPSV (bEpsvForm 1) and returns a new own port from GetDataPort.
//   EPSV/EPRT form: szText is the decimal port; *pnHigh = port / 256,
//                   *pnLow = port % 256.
//   PORT/PASV form: szText starts one character before the fifth number
//                   ("," p1 "," p2); *pnHigh = p1, *pnLow = p2.
// A number outside 0..255 (0..65535 for the port) or missing sets both
// bytes to -1; the caller refuses such an argument.
int ParseDataPort(int bEpsvForm, int bIPv4, int *pnHigh, int *pnLow, const char *szText);

#endif  // PROXY_FTP_DATA_PORT_H_
