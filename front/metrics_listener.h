// The metrics listener of -H: answers "GET /metrics" with the instance's
// counters in the Prometheus text format, on its own address and thread.
#ifndef PROXY_FRONT_METRICS_LISTENER_H_
#define PROXY_FRONT_METRICS_LISTENER_H_

#include <cstddef>

// HTTP status for a request line of the metrics listener: 200 for GET of
// "/metrics" (a query part is allowed), 405 for another method on that
// path, 404 for any other path, 400 for a line that is no request line.
int MetricsRoute(const char *pLine, std::size_t nLen);

// With -H set: turns the counters on, binds and listens on the metrics
// address and port (the bind is done here, so a busy port fails start-up)
// and starts the thread that serves scrapes one after another.  Only
// clients that the permission list admits are answered; others are closed
// without a word, as the main listener does.
// Returns 1 listening, 0 when -H is not set, -1 on failure (logged).
int StartMetricsListener();

#endif  // PROXY_FRONT_METRICS_LISTENER_H_
