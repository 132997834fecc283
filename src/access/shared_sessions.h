// What several servers on one database share about sessions: the count of
// each account's sessions on all of them (as leases that a server renews
// while it runs, so a server that dies frees its sessions within the lease
// time) and the failed logins of anti-hammering.
//
// Thread-safety: every operation may be called from any thread; none is
// called with the auth manager's lock held (they wait for the database).
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/ip_address.h"

namespace quillon::access {

class SharedSessions {
 public:
  enum class Lease { kTaken, kFull, kUnavailable };

  virtual ~SharedSessions() = default;
  // The database can be reached: logins may proceed.
  virtual bool Available() const = 0;
  // Counts `session` for `account` when the account has fewer than
  // `max_sessions` (0: no limit) on all servers together.
  virtual Lease TakeLease(std::string_view account, const void* session, std::uint32_t max_sessions) = 0;
  virtual void DropLease(const void* session) = 0;
  // Tells the other servers about a failed login from `address`.
  virtual void PublishFailure(const runtime::IpAddress& address) = 0;
};

}  // namespace quillon::access
