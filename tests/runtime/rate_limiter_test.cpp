#include "runtime/rate_limiter.h"

#include <gtest/gtest.h>

#include "support/manual_clock.h"

namespace quillon::runtime {
namespace {

using testing::ManualClock;

TEST(RateLimiterTest, FillsToOneSecondThenDrainsAtTheLimit) {
  ManualClock clock;
  RateLimiter limiter(clock);
  limiter.SetLimit(10240);
  const std::uint32_t expected[] = {4096, 4096, 2068, 10, 10, 10};
  for (std::uint32_t want : expected) {
    clock.Advance(1);
    EXPECT_EQ(limiter.Grant(4096), want);
  }
  // Nothing more within the same millisecond.
  EXPECT_EQ(limiter.Grant(4096), 0u);
}

TEST(RateLimiterTest, LimitZeroGrantsNothing) {
  ManualClock clock;
  RateLimiter limiter(clock);
  EXPECT_EQ(limiter.Grant(2048), 0u);
  clock.Advance(60'000);
  EXPECT_EQ(limiter.Grant(2048), 0u);
  EXPECT_EQ(limiter.Limit(), 0u);
}

TEST(RateLimiterTest, TickWrapBetweenGrantsCountsTheTrueElapsedTime) {
  ManualClock clock(0xFFFF'FF00u);
  RateLimiter limiter(clock);
  limiter.SetLimit(1000);
  EXPECT_EQ(limiter.Grant(5000), 1000u);  // bucket full
  clock.Advance(0x200);                   // 512 ms later, past the wrap
  ASSERT_LT(clock.TickMs(), 0x1000u);
  EXPECT_EQ(limiter.Grant(5000), 512u);  // drained by exactly 512 bytes
}

TEST(RateLimiterTest, HugeElapsedTimeEmptiesTheBucketWithoutOverflow) {
  ManualClock clock;
  RateLimiter limiter(clock);
  limiter.SetLimit(0xFFFF'FFFFu);
  EXPECT_EQ(limiter.Grant(0xFFFF'FFFFu), 0xFFFF'FFFFu);
  clock.Advance(3'000'000'000u);
  EXPECT_EQ(limiter.Grant(100), 100u);
}

TEST(RateLimiterTest, GiveBackReturnsUnusedBytesButNotBelowEmpty) {
  ManualClock clock;
  RateLimiter limiter(clock);
  limiter.SetLimit(4096);
  EXPECT_EQ(limiter.Grant(4096), 4096u);
  limiter.GiveBack(300);
  EXPECT_EQ(limiter.Grant(4096), 300u);
  limiter.GiveBack(1'000'000);
  EXPECT_EQ(limiter.Grant(8192), 4096u);
}

TEST(RateLimiterTest, LoweredLimitCapsAFullerBucket) {
  ManualClock clock;
  RateLimiter limiter(clock);
  limiter.SetLimit(10240);
  EXPECT_EQ(limiter.Grant(10240), 10240u);
  limiter.SetLimit(1024);
  EXPECT_EQ(limiter.Grant(100), 0u);  // level clamped to the new limit: full
  clock.Advance(500);
  EXPECT_EQ(limiter.Grant(1000), 512u);
}

}  // namespace
}  // namespace quillon::runtime
