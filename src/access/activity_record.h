// What the activity views show of one session: who, from where, doing what,
// and how much has moved. The session writes it; the views read copies.
//
// Thread-safety: every operation takes the record's own lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/critical_section.h"

namespace quillon::access {

// A copy of one session's activity, with its account's credits.
struct ActivitySnapshot {
  std::string user_name;
  std::string peer_address;
  std::string activity;
  std::string current_item;  // FTP path of a file or folder
  std::uint64_t bytes_sent = 0;
  std::uint64_t bytes_received = 0;
  std::uint32_t session_id = 0;
  std::uint32_t credits = 0;
  bool use_credits = false;
};

class ActivityRecord {
 public:
  void SetUser(std::string_view user_name, std::uint32_t session_id);
  void SetPeerAddress(std::string_view address);
  void SetActivity(std::string_view activity, std::string_view current_item);
  void SetActivityText(std::string_view activity);
  void SetCounters(std::uint64_t bytes_sent, std::uint64_t bytes_received);
  ActivitySnapshot Snapshot() const;

 private:
  mutable runtime::CriticalSection lock_;
  ActivitySnapshot values_;  // guarded by lock_
};

}  // namespace quillon::access
