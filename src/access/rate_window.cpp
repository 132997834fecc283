#include "access/rate_window.h"

#include <algorithm>

namespace quillon::access {

namespace {

// Bytes added at a time moved in the moment before it: bucket b holds the
// times after b * kBucketMs up to (b + 1) * kBucketMs.
std::uint64_t BucketOf(std::uint64_t ms) { return ms == 0 ? 0 : (ms - 1) / RateWindow::kBucketMs; }

}  // namespace

void RateWindow::Start(std::uint64_t now_ms) {
  buckets_.fill(0);
  start_ms_ = now_ms;
  last_bucket_ = BucketOf(now_ms);
}

void RateWindow::Advance(std::uint64_t now_ms) {
  const std::uint64_t bucket = BucketOf(now_ms);
  if (bucket <= last_bucket_) return;
  const std::uint64_t passed = std::min<std::uint64_t>(bucket - last_bucket_, kBuckets);
  for (std::uint64_t i = 1; i <= passed; ++i) buckets_[(last_bucket_ + i) % kBuckets] = 0;
  last_bucket_ = bucket;
}

void RateWindow::Add(std::uint64_t now_ms, std::uint64_t bytes) {
  Advance(now_ms);
  // A time before the running bucket (a clock read before the last one)
  // counts in the running bucket.
  buckets_[last_bucket_ % kBuckets] += bytes;
}

std::uint64_t RateWindow::BytesPerSecond(std::uint64_t now_ms) const {
  if (now_ms <= start_ms_) return 0;
  const std::uint64_t now_bucket = std::max(BucketOf(now_ms), last_bucket_);
  // The buckets within the window: the running one and the kBuckets - 1
  // before it, of those that still hold their own time.
  const std::uint64_t first_bucket = now_bucket >= kBuckets - 1 ? now_bucket - (kBuckets - 1) : 0;
  std::uint64_t bytes = 0;
  for (std::uint64_t bucket = std::max(first_bucket, last_bucket_ >= kBuckets ? last_bucket_ - kBuckets + 1 : 0);
       bucket <= last_bucket_; ++bucket)
    bytes += buckets_[bucket % kBuckets];
  const std::uint64_t window_start = std::max(start_ms_, first_bucket * kBucketMs);
  const std::uint64_t span = now_ms > window_start ? now_ms - window_start : 1;
  return bytes * 1000 / span;
}

}  // namespace quillon::access
