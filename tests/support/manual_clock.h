// A clock that tests drive by hand: ticks and wall time move only when the
// test says so. SleepMs() pauses the caller for real (briefly) without moving
// the clock, so a loop that sleeps cannot advance time behind a test's back;
// with SetSleepAdvances(true) a sleep moves the clock by its length instead,
// and the clock notes how many callers slept at once.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"

namespace quillon::testing {

class ManualClock final : public platform::Clock {
 public:
  explicit ManualClock(std::uint32_t tick = 1'000'000, std::int64_t wall_ns = 0)
      : tick_(tick), monotonic_(tick), wall_ns_(wall_ns) {}

  std::uint32_t TickMs() override { return tick_.load(); }
  // Starts at the first tick and moves only with Advance (SetTick leaves it).
  std::uint64_t MonotonicMs() override { return monotonic_.load(); }
  std::int64_t WallTimeNs() override { return wall_ns_.load(); }
  void SleepMs(std::uint32_t ms) override {
    const int sleepers = sleepers_.fetch_add(1) + 1;
    for (int seen = max_sleepers_.load(); sleepers > seen;)
      if (max_sleepers_.compare_exchange_weak(seen, sleepers)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms > 0 ? 1 : 0));
    if (sleep_advances_.load()) Advance(ms);
    sleepers_.fetch_sub(1);
  }

  void SetSleepAdvances(bool on) { sleep_advances_.store(on); }
  // The most callers that were inside SleepMs at the same time.
  int MaxConcurrentSleepers() const { return max_sleepers_.load(); }

  // Moves both clocks forward; the tick wraps like the real one. Loops
  // waiting for a deadline look again.
  void Advance(std::uint32_t ms) {
    tick_.fetch_add(ms);
    monotonic_.fetch_add(ms);
    wall_ns_.fetch_add(static_cast<std::int64_t>(ms) * 1'000'000);
    WakeWaiters();
  }
  void SetTick(std::uint32_t tick) {
    tick_.store(tick);
    WakeWaiters();
  }

  void WakeOnAdvance(platform::Event* event) override {
    std::lock_guard<std::mutex> guard(waiters_lock_);
    waiters_.push_back(event);
  }
  void StopWakingOnAdvance(platform::Event* event) override {
    std::lock_guard<std::mutex> guard(waiters_lock_);
    std::erase(waiters_, event);
  }
  void SetWallTimeNs(std::int64_t ns) { wall_ns_.store(ns); }

 private:
  void WakeWaiters() {
    std::lock_guard<std::mutex> guard(waiters_lock_);
    for (platform::Event* event : waiters_) event->Set();
  }

  std::mutex waiters_lock_;
  std::vector<platform::Event*> waiters_;
  std::atomic<std::uint32_t> tick_;
  std::atomic<std::uint64_t> monotonic_;
  std::atomic<std::int64_t> wall_ns_;
  std::atomic<bool> sleep_advances_{false};
  std::atomic<int> sleepers_{0};
  std::atomic<int> max_sleepers_{0};
};

}  // namespace quillon::testing
