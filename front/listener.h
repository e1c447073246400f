// The listener: every listening socket of the instance, admission of each
// client and the start of its connection thread.
#ifndef PROXY_FRONT_LISTENER_H_
#define PROXY_FRONT_LISTENER_H_

#include "front/connection_record.h"

// Binds one listening socket per entry of the endpoint's listen list that
// fits -i (0 IPv4 entries, 1 IPv6 entries, 2 all), waits on all of them,
// accepts, admits and starts one PROXYMain thread per admitted client.
// Runs for the life of the process.  Returns -1 when the listeners cannot be
// set up or the wait fails (start-up then cleans up and exits with a failure
// status), 1 after the first client when nListenOnce >= 1.
int AcceptClients(EndpointRecord endpoint);

#endif  // PROXY_FRONT_LISTENER_H_
