#include "core/retry.h"

#include <gtest/gtest.h>

TEST(RetryTest, AttemptsPausesAndGivingUp) {
  const struct {
    int nAttempts;
    int nSucceedAt;  // attempt that returns 1, 0 never
    int nGiveUpAt;   // attempt that returns -1, 0 never
    int nResult;
    int nCalls;
    int64_t nMinMs;  // pauses of 100, 200 ... ms between the attempts
  } kCases[] = {
      {3, 1, 0, 1, 1, 0},    // first try: no pause
      {3, 2, 0, 1, 2, 100},  // one pause
      {3, 0, 0, 0, 3, 300},  // all fail: no pause after the last
      {0, 0, 0, 0, 1, 0},    // at least one attempt
      {5, 0, 2, -1, 2, 100}, // giving up ends at once
  };
  for (const auto &t : kCases) {
    int nCalls = 0;
    int64_t nStart = PlatSteadyMs();
    int r = RetryWithGrowingPause(t.nAttempts, [&] {
      ++nCalls;
      if (nCalls == t.nSucceedAt) return 1;
      if (nCalls == t.nGiveUpAt) return -1;
      return 0;
    });
    int64_t nTook = PlatSteadyMs() - nStart;
    EXPECT_EQ(r, t.nResult) << t.nAttempts;
    EXPECT_EQ(nCalls, t.nCalls) << t.nAttempts;
    EXPECT_GE(nTook, t.nMinMs) << t.nAttempts;
    EXPECT_LT(nTook, t.nMinMs + 250) << t.nAttempts;
  }
}
