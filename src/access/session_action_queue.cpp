#include "access/session_action_queue.h"

#include <algorithm>

namespace quillon::access {

using Guard = runtime::CriticalSection::Guard;

void SessionActionQueue::Queue(std::uint32_t session_id, SessionActionKind kind,
                               std::string_view reason) {
  Guard guard(lock_);
  const std::uint32_t now = clock_.TickMs();
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [now](const SessionAction& entry) {
                                  return now - entry.queued_tick > kMaxAgeMs;
                                }),
                 entries_.end());
  if (entries_.size() < kMaxEntries)
    entries_.push_back(SessionAction{session_id, kind, now, std::string(reason)});
  count_.store(entries_.size(), std::memory_order_release);
}

std::optional<SessionAction> SessionActionQueue::Take(std::uint32_t session_id) {
  if (count_.load(std::memory_order_acquire) == 0) return std::nullopt;
  Guard guard(lock_);
  auto it = std::find_if(entries_.begin(), entries_.end(), [session_id](const SessionAction& entry) {
    return entry.session_id == session_id;
  });
  if (it == entries_.end()) return std::nullopt;
  SessionAction action = std::move(*it);
  entries_.erase(it);
  count_.store(entries_.size(), std::memory_order_release);
  return action;
}

std::size_t SessionActionQueue::Count() const {
  Guard guard(lock_);
  return entries_.size();
}

}  // namespace quillon::access
