#include "access/balance_saver.h"

#include <algorithm>

namespace quillon::access {

BalanceSaver::BalanceSaver(accounts::AccountStore& store, platform::Clock& clock,
                           std::function<bool()> write_back)
    : store_(store),
      clock_(clock),
      write_back_(std::move(write_back)),
      next_pass_ms_(clock.MonotonicMs() + kIntervalMs) {
  clock_.WakeOnAdvance(&work_);
}

BalanceSaver::~BalanceSaver() {
  Stop(kStopWaitMs);
  clock_.StopWakingOnAdvance(&work_);
}

void BalanceSaver::SetIntervalMs(std::uint32_t interval_ms) {
  interval_ms_.store(interval_ms);
  work_.Set();  // a shorter interval counts from now
}

void BalanceSaver::RequestSave() {
  requested_.store(true);
  work_.Set();
}

void BalanceSaver::ThreadBody() {
  while (!StopRequested()) {
    // Reset before the flag is read: a request after the read sets the
    // event again, so the wait below returns at once.
    work_.Reset();
    const std::uint64_t now = clock_.MonotonicMs();
    const std::uint32_t interval = interval_ms_.load();
    next_pass_ms_ = std::min<std::uint64_t>(next_pass_ms_, now + interval);
    const bool requested = requested_.exchange(false);
    if (!requested && now < next_pass_ms_) {
      if (WaitForStopOr(work_, static_cast<std::uint32_t>(next_pass_ms_ - now))) return;
      continue;
    }
    if (now >= next_pass_ms_) next_pass_ms_ = now + interval;
    const bool changed = write_back_();
    if (requested || changed || unsaved_) unsaved_ = !store_.Save();
  }
}

}  // namespace quillon::access
