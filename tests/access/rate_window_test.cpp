// The sliding window of a transfer's rate and the activity record that
// keeps it, driven by a clock the test moves by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "access/activity_record.h"
#include "access/rate_window.h"
#include "support/manual_clock.h"

namespace quillon::access {
namespace {

constexpr std::uint64_t kStart = 1'000'000;  // a bucket boundary
constexpr std::uint64_t kChunk = 10 * 1024;

// Adds kChunk every 100 ms from `from` (exclusive) to `to` (inclusive).
void Steady(RateWindow* window, std::uint64_t from, std::uint64_t to) {
  for (std::uint64_t t = from + 100; t <= to; t += 100) window->Add(t, kChunk);
}

TEST(RateWindowTest, NothingMovedIsZero) {
  RateWindow window;
  window.Start(kStart);
  EXPECT_EQ(window.BytesPerSecond(kStart), 0u);
  EXPECT_EQ(window.BytesPerSecond(kStart + 3000), 0u);
  EXPECT_EQ(window.BytesPerSecond(kStart - 5), 0u);  // before the start
}

TEST(RateWindowTest, AYoungTransferAveragesOverItsWholeTime) {
  RateWindow window;
  window.Start(kStart);
  Steady(&window, kStart, kStart + 3000);
  EXPECT_EQ(window.BytesPerSecond(kStart + 3000), 100u * 1024);
  window.Start(kStart);  // a new transfer forgets the last one
  window.Add(kStart + 250, 1000);
  EXPECT_EQ(window.BytesPerSecond(kStart + 500), 2000u);
}

TEST(RateWindowTest, ASteadyTransferKeepsItsRateOverTheWindow) {
  RateWindow window;
  window.Start(kStart);
  Steady(&window, kStart, kStart + 20'000);
  // Close to the true 100 KB/s wherever in a bucket the window ends.
  for (std::uint64_t at = 20'100; at <= 21'000; at += 100) {
    Steady(&window, kStart + at - 100, kStart + at);
    const std::uint64_t rate = window.BytesPerSecond(kStart + at);
    EXPECT_NEAR(static_cast<double>(rate), 102'400.0, 102'400.0 * 0.01) << at;
  }
}

TEST(RateWindowTest, TheRateFollowsAChangeWithinTheWindow) {
  RateWindow window;
  window.Start(kStart);
  Steady(&window, kStart, kStart + 10'000);  // 100 KB/s
  for (std::uint64_t t = kStart + 10'100; t <= kStart + 20'000; t += 100) window.Add(t, kChunk / 4);
  EXPECT_NEAR(static_cast<double>(window.BytesPerSecond(kStart + 20'000)), 25'600.0, 25'600.0 * 0.01);
}

TEST(RateWindowTest, AStalledTransferFallsToZeroWithoutAnyAdd) {
  RateWindow window;
  window.Start(kStart);
  Steady(&window, kStart, kStart + 10'000);
  const std::uint64_t moving = window.BytesPerSecond(kStart + 10'000);
  const std::uint64_t slowing = window.BytesPerSecond(kStart + 12'000);
  EXPECT_GT(slowing, 0u);
  EXPECT_LT(slowing, moving * 7 / 10);
  EXPECT_EQ(window.BytesPerSecond(kStart + 10'000 + RateWindow::kWindowMs), 0u);
  EXPECT_EQ(window.BytesPerSecond(kStart + 600'000), 0u);
  // It picks up again from nothing.
  window.Add(kStart + 600'100, 50'000);
  EXPECT_GT(window.BytesPerSecond(kStart + 600'100), 0u);
  EXPECT_LE(window.BytesPerSecond(kStart + 600'100), 50'000u * 1000 / 4500);
}

TEST(RateWindowTest, ALateTimeCountsInTheRunningBucket) {
  RateWindow window;
  window.Start(kStart);
  window.Add(kStart + 2000, 4000);
  window.Add(kStart + 1000, 4000);  // read before the last one
  EXPECT_EQ(window.BytesPerSecond(kStart + 2000), 4000u);
}

TEST(ActivityRecordTest, TimesAndTheRunningTransferComeFromTheClock) {
  testing::ManualClock clock;
  ActivityRecord record(clock);
  clock.Advance(65'000);
  ActivitySnapshot shown = record.Snapshot();
  EXPECT_EQ(shown.connected_ms, 65'000u);
  EXPECT_EQ(shown.transfer_state, TransferState::kNone);
  EXPECT_EQ(shown.transfer_ms, 0u);

  record.StartTransfer(false, 1'000'000);
  for (int i = 1; i <= 20; ++i) {
    clock.Advance(100);
    record.TransferProgress(static_cast<std::uint64_t>(i) * 5120);
  }
  shown = record.Snapshot();
  EXPECT_EQ(shown.connected_ms, 67'000u);
  EXPECT_EQ(shown.transfer_state, TransferState::kRunning);
  EXPECT_FALSE(shown.transfer_upload);
  EXPECT_TRUE(shown.transfer_size_known);
  EXPECT_EQ(shown.transfer_size, 1'000'000u);
  EXPECT_EQ(shown.transfer_bytes, 102'400u);
  EXPECT_EQ(shown.transfer_ms, 2000u);
  EXPECT_EQ(shown.transfer_rate, 51'200u);
  record.TransferProgress(1000);  // a figure below the last: ignored
  EXPECT_EQ(record.Snapshot().transfer_bytes, 102'400u);

  // Stalled, the rate falls while the time goes on.
  clock.Advance(RateWindow::kWindowMs + 500);
  shown = record.Snapshot();
  EXPECT_EQ(shown.transfer_rate, 0u);
  EXPECT_EQ(shown.transfer_ms, 2000u + RateWindow::kWindowMs + 500);

  // Stopped: the figures stay as they ended, without a rate.
  record.EndTransfer(TransferState::kStopped, 110'000);
  clock.Advance(9000);
  shown = record.Snapshot();
  EXPECT_EQ(shown.transfer_state, TransferState::kStopped);
  EXPECT_EQ(shown.transfer_bytes, 110'000u);
  EXPECT_EQ(shown.transfer_ms, 2000u + RateWindow::kWindowMs + 500);
  EXPECT_EQ(shown.transfer_rate, 0u);
  record.TransferProgress(200'000);  // nothing runs
  EXPECT_EQ(record.Snapshot().transfer_bytes, 110'000u);

  // An upload of unknown size.
  record.StartTransfer(true, -1);
  clock.Advance(500);
  record.TransferProgress(1024);
  shown = record.Snapshot();
  EXPECT_TRUE(shown.transfer_upload);
  EXPECT_FALSE(shown.transfer_size_known);
  EXPECT_EQ(shown.transfer_rate, 2048u);
}

TEST(ActivityRecordTest, WithoutAClockEverythingButTheBytesReadsZero) {
  ActivityRecord record;
  record.StartTransfer(false, 10);
  record.TransferProgress(5);
  const ActivitySnapshot shown = record.Snapshot();
  EXPECT_EQ(shown.transfer_bytes, 5u);
  EXPECT_EQ(shown.transfer_rate, 0u);
  EXPECT_EQ(shown.connected_ms, 0u);
}

// The session writes while a view reads (run under the thread sanitizer).
TEST(ActivityRecordTest, ASnapshotWhileTheSessionWritesIsWhole) {
  testing::ManualClock clock;
  ActivityRecord record(clock);
  std::atomic<bool> done{false};
  record.StartTransfer(true, -1);
  std::thread writer([&] {
    for (std::uint64_t i = 1; i <= 20'000; ++i) {
      record.TransferProgress(i * 100);
      if (i % 100 == 0) clock.Advance(10);
    }
    done = true;
  });
  std::uint64_t last = 0;
  while (!done) {
    const ActivitySnapshot shown = record.Snapshot();
    EXPECT_GE(shown.transfer_bytes, last);
    last = shown.transfer_bytes;
  }
  writer.join();
  EXPECT_EQ(record.Snapshot().transfer_bytes, 2'000'000u);
}

}  // namespace
}  // namespace quillon::access
