#include "runtime/rate_limiter.h"

#include <algorithm>

namespace quillon::runtime {

RateLimiter::RateLimiter(platform::Clock& clock) : clock_(clock), last_tick_(clock.TickMs()) {}

std::uint32_t RateLimiter::Grant(std::uint32_t wanted) {
  CriticalSection::Guard guard(lock_);
  const std::uint32_t now = clock_.TickMs();
  const std::uint32_t elapsed = now - last_tick_;  // absorbs one wrap of the tick
  // Compared in double: elapsed × limit can exceed any 32-bit value.
  const double drained = static_cast<double>(elapsed) * 0.001 * static_cast<double>(limit_);
  if (drained >= static_cast<double>(level_)) {
    level_ = 0;
  } else {
    level_ -= static_cast<std::uint32_t>(drained);
  }
  level_ = std::min(level_, limit_);
  const std::uint32_t granted = std::min(wanted, limit_ - level_);
  level_ += granted;
  last_tick_ = now;
  return granted;
}

void RateLimiter::GiveBack(std::uint32_t bytes) {
  CriticalSection::Guard guard(lock_);
  level_ = bytes > level_ ? 0 : level_ - bytes;
}

void RateLimiter::SetLimit(std::uint32_t bytes_per_second) {
  CriticalSection::Guard guard(lock_);
  limit_ = bytes_per_second;
}

std::uint32_t RateLimiter::Limit() const {
  CriticalSection::Guard guard(lock_);
  return limit_;
}

}  // namespace quillon::runtime
