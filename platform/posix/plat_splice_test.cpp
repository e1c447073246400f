#include "platform/plat_splice.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

namespace {

// Two connected stream pairs: bytes written at a[1] are moved from a[0] to
// b[0] and read at b[1].
struct Pairs {
  int a[2], b[2];
  Pairs() {
    socketpair(AF_UNIX, SOCK_STREAM, 0, a);
    socketpair(AF_UNIX, SOCK_STREAM, 0, b);
  }
  ~Pairs() {
    for (int fd : {a[0], a[1], b[0], b[1]})
      if (fd >= 0) close(fd);
  }
};

TEST(SpliceTest, MovesEndsTimesOutAndFailsToSend) {
  // The program ignores SIGPIPE (a send to a closed peer fails instead).
  signal(SIGPIPE, SIG_IGN);
  PlatSplicePipe pipe;
  ASSERT_EQ(1, PlatSpliceOpen(&pipe));
  Pairs p;
  int bSendFailed = 1;
  // Bytes move, at most nMax at a time.
  std::string data(100000, 'x');
  ASSERT_EQ(static_cast<ssize_t>(data.size()), write(p.a[1], data.data(), data.size()));
  std::size_t nMoved = 0;
  while (nMoved < data.size()) {
    int n = PlatSpliceMove(p.a[0], p.b[0], &pipe, 4096, 1000, &bSendFailed);
    ASSERT_GT(n, 0);
    EXPECT_LE(n, 4096);
    EXPECT_EQ(0, bSendFailed);
    nMoved += static_cast<std::size_t>(n);
    char buf[4096];
    for (ssize_t nLeft = n; nLeft > 0;) {
      ssize_t nGot = read(p.b[1], buf, static_cast<std::size_t>(nLeft));
      ASSERT_GT(nGot, 0);
      nLeft -= nGot;
    }
  }
  // Nothing arrives: the wait ends at the time-out.
  EXPECT_EQ(-1, PlatSpliceMove(p.a[0], p.b[0], &pipe, 4096, 50, &bSendFailed));
  EXPECT_EQ(ETIMEDOUT, errno);
  EXPECT_EQ(0, bSendFailed);
  // The sender's end.
  shutdown(p.a[1], SHUT_WR);
  EXPECT_EQ(0, PlatSpliceMove(p.a[0], p.b[0], &pipe, 4096, 1000, &bSendFailed));
  PlatSpliceClose(&pipe);
  // A destination that is gone: the send side failed.
  Pairs q;
  ASSERT_EQ(1, PlatSpliceOpen(&pipe));
  close(q.b[1]);
  q.b[1] = -1;
  ASSERT_EQ(3, write(q.a[1], "abc", 3));
  EXPECT_EQ(-1, PlatSpliceMove(q.a[0], q.b[0], &pipe, 4096, 1000, &bSendFailed));
  EXPECT_EQ(1, bSendFailed);
  PlatSpliceClose(&pipe);
  EXPECT_EQ(-1, pipe.nRead);
}

}  // namespace
