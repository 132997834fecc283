#include "platform/clock.h"

#include <ctime>

#include <cerrno>

namespace quillon::platform {

namespace {

std::int64_t ReadClockNs(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

std::uint32_t SystemClock::TickMs() {
  // Truncation to 32 bits is the wrap the callers expect.
  return static_cast<std::uint32_t>(ReadClockNs(CLOCK_MONOTONIC) / 1'000'000);
}

std::uint64_t SystemClock::MonotonicMs() {
  return static_cast<std::uint64_t>(ReadClockNs(CLOCK_MONOTONIC) / 1'000'000);
}

std::int64_t SystemClock::WallTimeNs() { return ReadClockNs(CLOCK_REALTIME); }

void SystemClock::SleepMs(std::uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace quillon::platform
