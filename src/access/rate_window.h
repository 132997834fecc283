// The rate of one transfer averaged over a sliding window of the last few
// seconds: the bytes moved are added to buckets of kBucketMs by the time
// they moved, and the rate is what the buckets within the window hold over
// the time the window covers (the time since the start while the transfer
// is younger than the window). A transfer that stalls falls to 0 within the
// window, whether or not anything is added meanwhile.
//
// Times are the caller's milliseconds (a Clock's MonotonicMs), so a test
// drives the window with a clock of its own.
//
// Thread-safety: none of its own; its owner guards it (ActivityRecord).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillon::access {

class RateWindow {
 public:
  static constexpr std::uint64_t kBucketMs = 500;
  static constexpr std::size_t kBuckets = 10;
  // The window spans between (kBuckets - 1) and kBuckets buckets: the
  // running bucket and the full ones before it.
  static constexpr std::uint64_t kWindowMs = kBucketMs * kBuckets;

  // Empties the window; the transfer starts at `now_ms`.
  void Start(std::uint64_t now_ms);
  // `bytes` moved at `now_ms` (a time before the last one counts as the last).
  void Add(std::uint64_t now_ms, std::uint64_t bytes);
  // Bytes per second over the window that ends at `now_ms`; 0 before the
  // start and when nothing moved within the window.
  std::uint64_t BytesPerSecond(std::uint64_t now_ms) const;

 private:
  // Moves the running bucket to the one of `now_ms`, emptying those passed.
  void Advance(std::uint64_t now_ms);

  std::array<std::uint64_t, kBuckets> buckets_{};
  std::uint64_t start_ms_ = 0;
  std::uint64_t last_bucket_ = 0;  // number of the running bucket
};

}  // namespace quillon::access
