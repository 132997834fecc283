#include "access/activity_record.h"

namespace quillon::access {

using Guard = runtime::CriticalSection::Guard;

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

ActivitySnapshot ActivityRecord::Snapshot() const {
  Guard guard(lock_);
  return values_;
}

}  // namespace quillon::access
