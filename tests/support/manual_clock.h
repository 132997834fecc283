// A clock that tests drive by hand: ticks and wall time move only when the
// test says so. SleepMs() pauses the caller for real (briefly) without moving
// the clock, so a loop that sleeps cannot advance time behind a test's back.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/clock.h"

namespace quillon::testing {

class ManualClock final : public platform::Clock {
 public:
  explicit ManualClock(std::uint32_t tick = 1'000'000, std::int64_t wall_ns = 0)
      : tick_(tick), wall_ns_(wall_ns) {}

  std::uint32_t TickMs() override { return tick_.load(); }
  std::int64_t WallTimeNs() override { return wall_ns_.load(); }
  void SleepMs(std::uint32_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms > 0 ? 1 : 0));
  }

  // Moves both clocks forward; the tick wraps like the real one.
  void Advance(std::uint32_t ms) {
    tick_.fetch_add(ms);
    wall_ns_.fetch_add(static_cast<std::int64_t>(ms) * 1'000'000);
  }
  void SetTick(std::uint32_t tick) { tick_.store(tick); }
  void SetWallTimeNs(std::int64_t ns) { wall_ns_.store(ns); }

 private:
  std::atomic<std::uint32_t> tick_;
  std::atomic<std::int64_t> wall_ns_;
};

}  // namespace quillon::testing
