#include "access/login_failure_tracker.h"

#include <algorithm>

#include "platform/net.h"

namespace quillon::access {

using Guard = runtime::CriticalSection::Guard;

LoginFailureTracker::LoginFailureTracker(platform::Clock& clock)
    : clock_(clock), last_sweep_tick_(clock.TickMs()) {}

LoginFailureTracker::~LoginFailureTracker() { Stop(kStopWaitMs); }

void LoginFailureTracker::RecordFailure(const runtime::IpAddress& peer) {
  // An IPv6 client counts by its /64 (IpAddress::LimitKey).
  const runtime::IpAddress address = peer.LimitKey();
  Guard guard(lock_);
  auto same = [&](const Entry& entry) { return entry.address == address; };
  if (std::any_of(blocks_.begin(), blocks_.end(), same)) return;
  if (failures_.empty() && blocks_.empty()) {
    // Nothing aged while there was nothing: the first entry ages from now.
    last_sweep_tick_ = clock_.TickMs();
    carried_ms_ = 0;
    work_.Set();
  }
  const auto count = static_cast<std::uint32_t>(std::count_if(failures_.begin(), failures_.end(), same));
  if (count + 1 < kFailuresToBlock) {
    failures_.push_back({address, kFailureSeconds});
    return;
  }
  failures_.erase(std::remove_if(failures_.begin(), failures_.end(), same), failures_.end());
  blocks_.push_back({address, kBlockSeconds});
  blocks_begun_.fetch_add(1, std::memory_order_relaxed);
}

std::size_t LoginFailureTracker::BlockedCount() const {
  Guard guard(lock_);
  return blocks_.size();
}

bool LoginFailureTracker::IsBlocked(const runtime::IpAddress& peer) const {
  const runtime::IpAddress address = peer.LimitKey();
  Guard guard(lock_);
  return std::any_of(blocks_.begin(), blocks_.end(),
                     [&](const Entry& entry) { return entry.address == address; });
}

void LoginFailureTracker::Sweep() {
  Guard guard(lock_);
  const std::uint32_t now = clock_.TickMs();
  const std::uint32_t elapsed = now - last_sweep_tick_ + carried_ms_;
  last_sweep_tick_ = now;
  carried_ms_ = elapsed % 1000;
  const std::uint32_t seconds = elapsed / 1000;
  if (seconds == 0) return;
  for (std::vector<Entry>* list : {&failures_, &blocks_}) {
    for (Entry& entry : *list) entry.seconds_left -= std::min(entry.seconds_left, seconds);
    list->erase(std::remove_if(list->begin(), list->end(),
                               [](const Entry& entry) { return entry.seconds_left == 0; }),
                list->end());
  }
}

void LoginFailureTracker::ThreadBody() {
  for (;;) {
    work_.Reset();
    bool idle;
    {
      Guard guard(lock_);
      idle = failures_.empty() && blocks_.empty();
    }
    if (WaitForStopOr(work_, idle ? platform::kWaitForever : kSweepIntervalMs)) return;
    Sweep();
  }
}

}  // namespace quillon::access
