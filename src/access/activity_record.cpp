#include "access/activity_record.h"

namespace quillon::access {

using Guard = runtime::CriticalSection::Guard;

ActivityRecord::ActivityRecord(platform::Clock& clock) : clock_(&clock), connected_at_(clock.MonotonicMs()) {}

void ActivityRecord::SetUser(std::string_view user_name, std::uint32_t session_id) {
  Guard guard(lock_);
  values_.user_name.assign(user_name);
  values_.session_id = session_id;
}

void ActivityRecord::SetPeerAddress(std::string_view address) {
  Guard guard(lock_);
  values_.peer_address.assign(address);
}

void ActivityRecord::SetActivity(std::string_view activity, std::string_view current_item) {
  Guard guard(lock_);
  values_.activity.assign(activity);
  values_.current_item.assign(current_item);
}

void ActivityRecord::SetActivityText(std::string_view activity) {
  Guard guard(lock_);
  values_.activity.assign(activity);
}

void ActivityRecord::SetCounters(std::uint64_t bytes_sent, std::uint64_t bytes_received) {
  Guard guard(lock_);
  values_.bytes_sent = bytes_sent;
  values_.bytes_received = bytes_received;
}

void ActivityRecord::StartTransfer(bool upload, std::int64_t size) {
  Guard guard(lock_);
  transfer_start_ = NowLocked();
  transfer_end_ = 0;
  rate_.Start(transfer_start_);
  values_.transfer_state = TransferState::kRunning;
  values_.transfer_upload = upload;
  values_.transfer_bytes = 0;
  values_.transfer_size_known = size >= 0;
  values_.transfer_size = size >= 0 ? static_cast<std::uint64_t>(size) : 0;
}

void ActivityRecord::TransferProgress(std::uint64_t bytes) {
  Guard guard(lock_);
  if (values_.transfer_state != TransferState::kRunning || bytes <= values_.transfer_bytes) return;
  rate_.Add(NowLocked(), bytes - values_.transfer_bytes);
  values_.transfer_bytes = bytes;
}

void ActivityRecord::EndTransfer(TransferState state, std::uint64_t bytes) {
  Guard guard(lock_);
  if (values_.transfer_state != TransferState::kRunning) return;
  if (bytes > values_.transfer_bytes) values_.transfer_bytes = bytes;
  values_.transfer_state = state;
  transfer_end_ = NowLocked();
}

ActivitySnapshot ActivityRecord::Snapshot() const {
  Guard guard(lock_);
  ActivitySnapshot copy = values_;
  const std::uint64_t now = NowLocked();
  copy.connected_ms = now > connected_at_ ? now - connected_at_ : 0;
  if (copy.transfer_state == TransferState::kRunning) {
    copy.transfer_ms = now > transfer_start_ ? now - transfer_start_ : 0;
    copy.transfer_rate = rate_.BytesPerSecond(now);
  } else if (copy.transfer_state != TransferState::kNone) {
    copy.transfer_ms = transfer_end_ > transfer_start_ ? transfer_end_ - transfer_start_ : 0;
  }
  return copy;
}

}  // namespace quillon::access
