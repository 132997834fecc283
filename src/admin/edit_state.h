// What the administrator is editing in the remote admin: the working copy of
// an account or group, the IP lists of the IP pages, and the record being
// copied. One administrator at a time, so there is one edit state.
//
// Thread-safety: hold Lock() around the edit fields and CopyLock() around the
// copy fields; never both at once.
#pragma once

#include <string>

#include "runtime/ip_range_list.h"
#include "accounts/account_record.h"
#include "runtime/critical_section.h"

namespace quillon::admin {

class EditState {
 public:
  // Whose IP lists the IP pages edit.
  enum class IpMode { kServer, kAccount, kGroup };

  runtime::CriticalSection& Lock() { return lock_; }
  runtime::CriticalSection& CopyLock() { return copy_lock_; }

  // Forgets the record and lists being edited. REQUIRES: Lock() held.
  void ClearLocked() {
    safe_ips.Clear();
    blocked_ips.Clear();
    record.Reset();
    edited_name.clear();
    account_mode = false;
    server_ip_mode = false;
    add_to_safe = false;
  }

  // REQUIRES: Lock() held.
  IpMode IpModeLocked() const {
    if (server_ip_mode) return IpMode::kServer;
    return account_mode ? IpMode::kAccount : IpMode::kGroup;
  }

  // Guarded by Lock().
  accounts::AccountRecord record;
  bool account_mode = false;    // the record is an account (else a group)
  bool server_ip_mode = false;  // the IP pages work on the server's own lists
  std::string edited_name;      // the record's name when it was opened
  runtime::IpRangeList safe_ips;
  runtime::IpRangeList blocked_ips;
  bool add_to_safe = false;     // the add-IP page adds to the safe list

  // Guarded by CopyLock().
  accounts::AccountRecord copy_source;
  bool copy_is_account = false;

 private:
  runtime::CriticalSection lock_;
  runtime::CriticalSection copy_lock_;
};

}  // namespace quillon::admin
