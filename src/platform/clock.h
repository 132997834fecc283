// Time sources. Everything whose behaviour depends on time takes a Clock&,
// so tests can substitute a clock they drive by hand.
//
// Thread-safety: every Clock implementation may be used from any thread.
#pragma once

#include <cstdint>

namespace quillon::platform {

class Event;

class Clock {
 public:
  virtual ~Clock() = default;

  // Milliseconds since an arbitrary start, as an unsigned 32-bit value that
  // wraps about every 49.7 days. Callers subtract ticks with unsigned
  // arithmetic so one wrap between two readings is absorbed.
  virtual std::uint32_t TickMs() = 0;
  // The same milliseconds as 64 bits, which never wrap: for ages that may
  // span weeks (a wrapped 32-bit tick would make them young again).
  virtual std::uint64_t MonotonicMs() = 0;

  // Wall-clock time: nanoseconds since 1970-01-01 00:00:00 UTC.
  virtual std::int64_t WallTimeNs() = 0;

  // Suspends the calling thread for about `ms` milliseconds.
  virtual void SleepMs(std::uint32_t ms) = 0;

  // Loops that sleep until a deadline computed from this clock register an
  // event that is set whenever the clock moves other than in real time (a
  // clock driven by hand). The real clock never needs to: a real wait ends
  // when its deadline comes.
  virtual void WakeOnAdvance(Event* /*event*/) {}
  virtual void StopWakingOnAdvance(Event* /*event*/) {}
};

// The real clock: ticks from the monotonic clock, wall time from the
// system's real-time clock. Holds no state.
class SystemClock final : public Clock {
 public:
  std::uint32_t TickMs() override;
  std::uint64_t MonotonicMs() override;
  std::int64_t WallTimeNs() override;
  void SleepMs(std::uint32_t ms) override;
};

}  // namespace quillon::platform
