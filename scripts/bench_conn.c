/* Connection rate for the benchmark: one new connection after another, each
 * carrying one GET of a small file, for a given time; prints connections per
 * second.  With "socks" every connection first goes through a SOCKS 5
 * CONNECT (no authentication) to the origin.  The client reads the answer by
 * its Content-Length and closes first, as a keep-alive client does.
 *
 *   bench_conn direct ORIGIN_PORT PATH SECONDS
 *   bench_conn socks  PROXY_PORT ORIGIN_PORT PATH SECONDS
 * Everything is on 127.0.0.1. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

static int connect_to(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  struct timeval tv = {10, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((unsigned short)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, (struct sockaddr *)&a, sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

static int read_exact(int s, unsigned char *p, size_t n) {
  while (n > 0) {
    ssize_t r = recv(s, p, n, 0);
    if (r <= 0) return -1;
    p += r;
    n -= (size_t)r;
  }
  return 0;
}

static int socks_connect(int s, int origin_port) {
  unsigned char hello[3] = {5, 1, 0}, reply[10];
  if (send(s, hello, 3, 0) != 3 || read_exact(s, reply, 2) != 0 || reply[0] != 5 || reply[1] != 0) return -1;
  unsigned char req[10] = {5, 1, 0, 1, 127, 0, 0, 1, (unsigned char)(origin_port >> 8),
                           (unsigned char)origin_port};
  if (send(s, req, 10, 0) != 10 || read_exact(s, reply, 10) != 0 || reply[1] != 0) return -1;
  return 0;
}

/* One GET; 0 when the whole answer arrived. */
static int get_once(int s, const char *path) {
  char buf[65536];
  int n = snprintf(buf, sizeof buf, "GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", path);
  if (send(s, buf, (size_t)n, 0) != n) return -1;
  size_t have = 0;
  long body = -1;
  size_t head = 0;
  for (;;) {
    ssize_t r = recv(s, buf + have, sizeof buf - 1 - have, 0);
    if (r <= 0) return -1;
    have += (size_t)r;
    buf[have] = '\0';
    if (body < 0) {
      char *end = strstr(buf, "\r\n\r\n");
      if (!end) continue;
      head = (size_t)(end + 4 - buf);
      char *cl = strcasestr(buf, "\r\ncontent-length:");
      if (!cl || cl > end) return -1;
      body = atol(cl + 17);
    }
    if (have >= head + (size_t)body) return 0;
    if (have >= sizeof buf - 1) return -1;
  }
}

int main(int argc, char **argv) {
  int socks = argc == 6 && strcmp(argv[1], "socks") == 0;
  if (!(socks || (argc == 5 && strcmp(argv[1], "direct") == 0))) {
    fprintf(stderr, "usage: bench_conn direct ORIGIN_PORT PATH SECONDS | socks PROXY_PORT ORIGIN_PORT PATH SECONDS\n");
    return 2;
  }
  int port = atoi(argv[2]);
  int origin = socks ? atoi(argv[3]) : port;
  const char *path = argv[socks ? 4 : 3];
  double secs = atof(argv[socks ? 5 : 4]);
  long done = 0, failed = 0;
  double start = now(), end = start + secs;
  while (now() < end && failed < 100) {
    int s = connect_to(port);
    if (s < 0 || (socks && socks_connect(s, origin) != 0) || get_once(s, path) != 0)
      ++failed;
    else
      ++done;
    if (s >= 0) close(s);
  }
  double took = now() - start;
  printf("%.1f\n", took > 0 ? done / took : 0.0);
  if (failed) fprintf(stderr, "bench_conn: %ld failed\n", failed);
  return done > 0 ? 0 : 1;
}
