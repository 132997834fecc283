// Keeps the account store file up to date with the live credit balances of
// logged-in accounts, on a background thread: once a minute it has the
// changed balances written back into the store and saves the store when one
// changed, and it saves soon after RequestSave (an account's last logout).
// Saves run one at a time; however many requests arrive while one runs,
// they lead to one more save.
//
// A failed save is tried again at the next minute. Requests not yet served
// when the thread stops are left to the owner's save.
//
// Thread-safety: RequestSave may be called from any thread, with any lock
// held: it only sets a flag and an event. The write-back (which takes the
// locks it needs) and then the save (which writes the file holding none of
// them) run on the saver's thread. Constant after construction: the store,
// the clock and the write-back.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "accounts/account_store.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "runtime/worker_thread.h"

namespace quillon::access {

class BalanceSaver : public runtime::WorkerThread {
 public:
  static constexpr std::uint32_t kIntervalMs = 60'000;
  // With several servers sharing the balances.
  static constexpr std::uint32_t kSharedIntervalMs = 2'000;

  // `write_back` copies the live balances that changed into `store` and
  // says whether it changed anything. The first minute runs from now.
  BalanceSaver(accounts::AccountStore& store, platform::Clock& clock,
               std::function<bool()> write_back);
  ~BalanceSaver() override;

  // The time between passes from the next one on.
  void SetIntervalMs(std::uint32_t interval_ms);

  // Asks for a save of the store soon (with the changed balances written
  // back first).
  void RequestSave();

 protected:
  void ThreadBody() override;

 private:
  accounts::AccountStore& store_;
  platform::Clock& clock_;
  const std::function<bool()> write_back_;
  platform::Event work_;  // set by requests, and when a hand-driven clock moves
  std::atomic<bool> requested_{false};
  std::atomic<std::uint32_t> interval_ms_{kIntervalMs};
  // Used by the thread only (set before it starts).
  std::uint64_t next_pass_ms_;
  bool unsaved_ = false;  // the last save failed
};

}  // namespace quillon::access
