// A token bucket that meters bytes per second. The bucket holds at most one
// second's worth of bytes and drains at the limit; Grant() hands out what
// still fits. A limit of 0 grants nothing.
//
// When two limiters meter one transfer (an account's and the server's), ask
// the account's first, then the server's for what the first granted, and
// give back to the first what the second refused.
//
// Thread-safety: every operation takes the limiter's own lock.
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "runtime/critical_section.h"

namespace quillon::runtime {

class RateLimiter {
 public:
  explicit RateLimiter(platform::Clock& clock);

  // The bytes (0 to `wanted`) that may be moved now; they count against the
  // bucket. A caller granted 0 waits and asks again.
  std::uint32_t Grant(std::uint32_t wanted);
  // Returns unused bytes to the bucket (its level does not go below 0).
  void GiveBack(std::uint32_t bytes);

  void SetLimit(std::uint32_t bytes_per_second);
  std::uint32_t Limit() const;

 private:
  platform::Clock& clock_;
  mutable CriticalSection lock_;
  std::uint32_t last_tick_;      // guarded by lock_
  std::uint32_t level_ = 0;      // guarded by lock_: bytes in the bucket
  std::uint32_t limit_ = 0;      // guarded by lock_: bytes per second
};

}  // namespace quillon::runtime
