// Anti-hammering: counts failed logins per address and blocks an address
// for a while once it fails too often. Entries age on a background thread
// (or through Sweep), by the time the clock says has passed; with no entries
// the thread sleeps until the next failure.
//
// Thread-safety: every operation takes the tracker's lock, which is taken
// alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "runtime/ip_range_list.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "runtime/critical_section.h"
#include "runtime/worker_thread.h"

namespace quillon::access {

class LoginFailureTracker : public runtime::WorkerThread {
 public:
  static constexpr std::uint32_t kFailuresToBlock = 5;
  static constexpr std::uint32_t kFailureSeconds = 600;
  static constexpr std::uint32_t kBlockSeconds = 600;
  static constexpr std::uint32_t kSweepIntervalMs = 1000;

  explicit LoginFailureTracker(platform::Clock& clock);
  ~LoginFailureTracker() override;

  // The fifth failure within the lifetime of the four before it blocks the
  // address. Failures of a blocked address are ignored.
  // An IPv6 address counts with every other of its /64.
  void RecordFailure(const runtime::IpAddress& address);
  bool IsBlocked(const runtime::IpAddress& address) const;
  // The blocks begun since the tracker was made, and those in force now.
  std::uint64_t BlocksBegun() const { return blocks_begun_.load(std::memory_order_relaxed); }
  std::size_t BlockedCount() const;
  // Ages every entry by the whole seconds passed since the last sweep and
  // drops the entries whose time ran out.
  void Sweep();

 protected:
  void ThreadBody() override;

 private:
  struct Entry {
    runtime::IpAddress address;
    std::uint32_t seconds_left;
  };

  platform::Clock& clock_;
  mutable runtime::CriticalSection lock_;
  std::vector<Entry> failures_;  // guarded by lock_
  std::vector<Entry> blocks_;    // guarded by lock_
  std::uint32_t last_sweep_tick_;  // guarded by lock_
  std::uint32_t carried_ms_ = 0;   // guarded by lock_
  platform::Event work_;           // set when the first entry arrives
  std::atomic<std::uint64_t> blocks_begun_{0};
};

}  // namespace quillon::access
