#include "platform/plat_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace {

// Reverse names are remembered: a second lookup gives the first answer,
// and a text that is no numeric address stays refused with an empty name.
TEST(ReverseNameTest, RememberedAnswersMatchTheFirst) {
  const std::string longText(300, '1');
  static const char *const kAddrs[] = {"127.0.0.1", "::1", "not-an-address", "1.2.3", ""};
  for (const char *szAddr : kAddrs) {
    char szFirst[256] = "x", szAgain[256] = "y";
    int nFirst = PlatReverseName(szAddr, szFirst, sizeof szFirst);
    int nAgain = PlatReverseName(szAddr, szAgain, sizeof szAgain);
    EXPECT_EQ(nFirst, nAgain) << szAddr;
    EXPECT_STREQ(szFirst, szAgain) << szAddr;
    if (nFirst < 0) {
      EXPECT_STREQ("", szAgain) << szAddr;
    }
  }
  EXPECT_EQ(-1, PlatReverseName("not-an-address", nullptr, 0));
  char szName[8] = "x";
  EXPECT_EQ(-1, PlatReverseName(longText.c_str(), szName, sizeof szName));
  EXPECT_STREQ("", szName);
  // A small buffer gets the name cut, never overrun.
  char szSmall[4];
  if (PlatReverseName("127.0.0.1", szSmall, sizeof szSmall) == 1) {
    EXPECT_LT(std::string(szSmall).size(), 4u);
  }
}

}  // namespace

namespace {

// A receive told to try first still waits as any other when nothing is
// there yet, and still ends at its time limit.
TEST(PlatRecvTest, TryingFirstStillWaits) {
  static const struct {
    const char *szName;
    int nSendAfterMs;  // -1 nothing is sent
    int nWant;         // bytes received, -1 time-out
  } kCases[] = {
      {"already there", 0, 3},
      {"arrives later", 50, 3},
      {"never comes", -1, -1},
  };
  for (const auto &c : kCases) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    if (c.nSendAfterMs == 0) {
      ASSERT_EQ(3, write(sv[1], "abc", 3));
    }
    std::thread late([&] {
      if (c.nSendAfterMs <= 0) return;
      usleep(static_cast<useconds_t>(c.nSendAfterMs) * 1000);
      (void)!write(sv[1], "abc", 3);
    });
    char buf[16];
    PlatRecvTryFirst(sv[0]);
    EXPECT_EQ(c.nWant, PlatRecv(sv[0], buf, sizeof buf, 300)) << c.szName;
    late.join();
    close(sv[0]);
    close(sv[1]);
  }
}

}  // namespace
