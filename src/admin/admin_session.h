// The one administrator session of the remote admin: logged out at start,
// logged in by the right password with a fresh id of 49 decimal digits from
// the system's cryptographic random source, kept alive by every accepted
// request, and ended by logout, by a new login, or by two hours without a
// request.
//
// Thread-safety: every operation takes the session's lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "runtime/critical_section.h"

namespace quillon::admin {

class AdminSession {
 public:
  static constexpr std::size_t kIdDigits = 49;
  static constexpr std::uint32_t kExpiryMs = 7'200'000;

  explicit AdminSession(platform::Clock& clock) : clock_(clock) {}

  // Logs in with a new id and returns it ("" when no random id could be made).
  std::string LogIn();
  void LogOut();
  // True (and the session refreshed) when `id` is the session's id, the
  // session is logged in, and its last request is at most two hours old. An
  // older session is logged out.
  bool Accept(std::string_view id);
  bool IsLoggedIn() const;

 private:
  platform::Clock& clock_;
  mutable runtime::CriticalSection lock_;
  std::string id_;                // guarded by lock_
  bool logged_in_ = false;        // guarded by lock_
  std::uint64_t last_use_ = 0;    // guarded by lock_; MonotonicMs
};

}  // namespace quillon::admin
