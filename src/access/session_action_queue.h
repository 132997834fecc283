// Kicks and stopped transfers that the administration asks for, waiting
// for the session they name to take them on its next pass.
//
// Thread-safety: every operation takes the queue's lock, which is taken
// alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "runtime/critical_section.h"

namespace quillon::access {

enum class SessionActionKind : std::uint32_t { kKick = 0, kStopTransfer = 1 };

struct SessionAction {
  std::uint32_t session_id = 0;
  SessionActionKind kind = SessionActionKind::kKick;
  std::uint32_t queued_tick = 0;
  std::string reason;
};

class SessionActionQueue {
 public:
  static constexpr std::size_t kMaxEntries = 1000;
  static constexpr std::uint32_t kMaxAgeMs = 300'000;

  explicit SessionActionQueue(platform::Clock& clock) : clock_(clock) {}

  // Drops entries older than kMaxAgeMs, then adds this one unless
  // kMaxEntries remain.
  void Queue(std::uint32_t session_id, SessionActionKind kind, std::string_view reason);
  // Removes and returns the first entry for the session, if any.
  std::optional<SessionAction> Take(std::uint32_t session_id);
  std::size_t Count() const;

 private:
  platform::Clock& clock_;
  mutable runtime::CriticalSection lock_;
  std::deque<SessionAction> entries_;  // guarded by lock_
  // Mirrors entries_.size(), so a session's pass skips the lock while the
  // queue is empty.
  std::atomic<std::size_t> count_{0};
};

}  // namespace quillon::access
