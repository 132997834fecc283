#include "access/login_failure_tracker.h"

#include <gtest/gtest.h>

#include "access/session_action_queue.h"
#include "support/manual_clock.h"

namespace quillon::access {
namespace {

constexpr runtime::IpAddress kHammer{10, 0, 0, 66};
constexpr runtime::IpAddress kOther{10, 0, 0, 67};

TEST(LoginFailureTrackerTest, FifthFailureBlocksForTenMinutes) {
  testing::ManualClock clock;
  LoginFailureTracker tracker(clock);
  for (int i = 0; i < 4; ++i) tracker.RecordFailure(kHammer);
  EXPECT_FALSE(tracker.IsBlocked(kHammer));
  tracker.RecordFailure(kOther);
  tracker.RecordFailure(kHammer);
  EXPECT_TRUE(tracker.IsBlocked(kHammer));
  EXPECT_FALSE(tracker.IsBlocked(kOther));

  clock.Advance(599'999);
  tracker.Sweep();
  EXPECT_TRUE(tracker.IsBlocked(kHammer));
  clock.Advance(1);
  tracker.Sweep();
  EXPECT_FALSE(tracker.IsBlocked(kHammer));
  // The block took the earlier failures with it: four more are needed again.
  for (int i = 0; i < 4; ++i) tracker.RecordFailure(kHammer);
  EXPECT_FALSE(tracker.IsBlocked(kHammer));
}

TEST(LoginFailureTrackerTest, OldFailuresExpireBeforeTheyAddUp) {
  testing::ManualClock clock;
  LoginFailureTracker tracker(clock);
  for (int i = 0; i < 4; ++i) tracker.RecordFailure(kHammer);
  clock.Advance(600'000);
  tracker.Sweep();
  tracker.RecordFailure(kHammer);
  EXPECT_FALSE(tracker.IsBlocked(kHammer));
  // Sweeps that come often still add up to whole seconds.
  for (int i = 0; i < 3; ++i) tracker.RecordFailure(kHammer);
  for (int i = 0; i < 1200; ++i) {
    clock.Advance(500);
    tracker.Sweep();
  }
  tracker.RecordFailure(kHammer);
  EXPECT_FALSE(tracker.IsBlocked(kHammer));
}

TEST(SessionActionQueueTest, TakesByIdDropsOldEntriesAndCaps) {
  testing::ManualClock clock;
  SessionActionQueue queue(clock);
  EXPECT_FALSE(queue.Take(1).has_value());
  queue.Queue(7, SessionActionKind::kStopTransfer, "enough");
  queue.Queue(8, SessionActionKind::kKick, "bye");
  queue.Queue(7, SessionActionKind::kKick, "");
  auto first = queue.Take(7);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->kind, SessionActionKind::kStopTransfer);
  EXPECT_EQ(first->reason, "enough");
  EXPECT_EQ(queue.Take(7)->kind, SessionActionKind::kKick);
  EXPECT_FALSE(queue.Take(7).has_value());

  clock.Advance(300'001);
  queue.Queue(9, SessionActionKind::kKick, "");  // drops the entry for 8
  EXPECT_FALSE(queue.Take(8).has_value());
  for (int i = 0; i < 1500; ++i) queue.Queue(100 + i, SessionActionKind::kKick, "");
  EXPECT_EQ(queue.Count(), SessionActionQueue::kMaxEntries);
  EXPECT_FALSE(queue.Take(1499 + 100).has_value());
}

}  // namespace
}  // namespace quillon::access
