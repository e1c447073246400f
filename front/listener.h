// The listener: every listening socket of the instance, admission of each
// client and the start of its connection thread.
#ifndef PROXY_FRONT_LISTENER_H_
#define PROXY_FRONT_LISTENER_H_

#include "net/connection_record.h"

// Binds one listening socket per entry of the endpoint's listen list that
// fits -i (0 IPv4 entries, 1 IPv6 entries, 2 all), waits on all of them,
// accepts, admits and starts one PROXYMain thread per admitted client.
// Runs for the life of the process.  Returns -1 when the listeners cannot be
// set up or the wait fails (start-up then cleans up and exits with a failure
// status), 1 after the first client when nListenOnce >= 1.
int AcceptClients(EndpointRecord endpoint);

// The TLS server handshake of a client of an implicit-TLS listener, run by
// the connection thread first (the listener only marks the record).  Each
// wait is bounded by "Timeout Client(SSL)", at least 10 s.  Returns 1 when
// the session is up or none was asked for; -1 when the handshake failed:
// the reject line is logged, the client closed and the record freed.
int AcceptClientTls(ConnectionRecord *pRec);

#endif  // PROXY_FRONT_LISTENER_H_
