#include "platform/plat_socket.h"

#include <gtest/gtest.h>

#include <string>

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
