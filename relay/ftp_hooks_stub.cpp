// Plain FTP-control relaying until the FTP specifics are linked in: the
// commands and replies pass unchanged.  (The FTP control relay replaces
// this file.)
#include "relay/ftp_hooks.h"

int FtpClientCommand(ConnectionRecord *, const char *, int) { return 0; }

int FtpBeforeForward(ConnectionRecord *, const char *, int) { return 0; }

int FtpServerReply(ConnectionRecord *, const char *, int, int) { return 0; }
