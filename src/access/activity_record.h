// What the activity views show of one session: who, from where, doing what,
// how much has moved, and its current transfer's figures (bytes, size when
// known, how long it has run, its rate over the last few seconds). The
// session writes it; the views read copies. Times come from the clock the
// record was made with (none: every time and rate reads 0).
//
// Thread-safety: every operation takes the record's own lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "access/rate_window.h"
#include "platform/clock.h"
#include "runtime/critical_section.h"

namespace quillon::access {

// Where the session's last file transfer stands.
enum class TransferState {
  kNone,       // no file transfer yet
  kRunning,
  kCompleted,
  kStopped,    // by the administrator or the client's ABOR
  kFailed,     // the data connection broke, a read or write failed
};

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
  // How long the session has been connected.
  std::uint64_t connected_ms = 0;
  // The last file transfer (the running one while kRunning).
  TransferState transfer_state = TransferState::kNone;
  bool transfer_upload = false;
  std::uint64_t transfer_bytes = 0;  // moved by this transfer
  bool transfer_size_known = false;
  std::uint64_t transfer_size = 0;   // bytes the transfer is to move, when known
  std::uint64_t transfer_ms = 0;     // how long it has run (ran, once ended)
  std::uint64_t transfer_rate = 0;   // bytes per second over RateWindow; 0 unless running
};

class ActivityRecord {
 public:
  // A record without a clock: times and rates read 0.
  ActivityRecord() = default;
  // The session connected now.
  explicit ActivityRecord(platform::Clock& clock);

  void SetUser(std::string_view user_name, std::uint32_t session_id);
  void SetPeerAddress(std::string_view address);
  void SetActivity(std::string_view activity, std::string_view current_item);
  void SetActivityText(std::string_view activity);
  void SetCounters(std::uint64_t bytes_sent, std::uint64_t bytes_received);

  // A file transfer starts now; `size` is what it is to move (known: not
  // negative).
  void StartTransfer(bool upload, std::int64_t size);
  // The running transfer has moved `bytes` in all (a figure below the last
  // one is ignored).
  void TransferProgress(std::uint64_t bytes);
  // The running transfer ended so, having moved `bytes` in all.
  void EndTransfer(TransferState state, std::uint64_t bytes);

  ActivitySnapshot Snapshot() const;

 private:
  std::uint64_t NowLocked() const { return clock_ != nullptr ? clock_->MonotonicMs() : 0; }

  platform::Clock* const clock_ = nullptr;
  const std::uint64_t connected_at_ = 0;
  mutable runtime::CriticalSection lock_;
  ActivitySnapshot values_;          // guarded by lock_; times filled in by Snapshot
  std::uint64_t transfer_start_ = 0;  // guarded by lock_
  std::uint64_t transfer_end_ = 0;    // guarded by lock_; once ended
  RateWindow rate_;                   // guarded by lock_
};

}  // namespace quillon::access
