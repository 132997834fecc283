#include "control/record_control.h"

#include "access/auth_manager.h"
#include "accounts/account_store.h"
#include "accounts/messages.h"
#include "ftp/ftp_server.h"
#include "runtime/critical_section.h"
#include "fileutil/text.h"

namespace quillon::control {

using accounts::AccountRecord;
using accounts::AccountStore;
using Guard = runtime::CriticalSection::Guard;

RecordControl::RecordControl(ftp::FtpServer& server, RecordKind kind)
    : records_(kind == RecordKind::kAccount ? server.Accounts() : server.Groups()),
      groups_(server.Groups()),
      auth_(&server.Auth()),
      kind_(kind) {}

RecordControl::RecordControl(AccountStore& records, AccountStore& groups, RecordKind kind)
    : records_(records), groups_(groups), auth_(nullptr), kind_(kind) {}

std::vector<std::string> RecordControl::Names() const {
  Guard guard(records_.Lock());
  std::vector<std::string> names;
  for (std::size_t i = 0, count = records_.Count(); i < count; ++i) names.push_back(records_.GetAt(i).Name());
  return names;
}

std::vector<AccountRecord> RecordControl::List() const {
  Guard guard(records_.Lock());
  std::vector<AccountRecord> records;
  for (std::size_t i = 0, count = records_.Count(); i < count; ++i) records.push_back(records_.GetAt(i));
  return records;
}

std::size_t RecordControl::Count() const { return records_.Count(); }

GroupChoices RecordControl::ChoicesFor(const AccountRecord& record, std::string_view previous_name) const {
  GroupChoices choices;
  Guard guard(groups_.Lock());
  for (std::size_t i = 0, count = groups_.Count(); i < count; ++i) {
    const AccountRecord& group = groups_.GetAt(i);
    if (group.MatchName(record.Group())) choices.current = group.Name();
    // A group cannot be in itself.
    if (!IsAccount() && (group.MatchName(record.Name()) || group.MatchName(previous_name))) continue;
    choices.names.push_back(group.Name());
  }
  return choices;
}

RecordResult RecordControl::TakeForEdit(std::string_view name, AccountRecord* record) const {
  if (!records_.GetCopy(name, record)) return RecordResult::kRecordGone;
  std::uint32_t credits = 0;
  if (IsAccount() && auth_ != nullptr && auth_->GetLiveCredits(record->Name(), &credits))
    record->mCurrentCredits = credits;
  return RecordResult::kDone;
}

RecordResult RecordControl::Check(const AccountRecord& record, std::string_view previous_name,
                                  std::string* message) const {
  if (record.Validate(previous_name, !IsAccount(), records_, groups_, message)) return RecordResult::kDone;
  // The record's check looks at the name first, so these two are the
  // refusals when they hold; a name taken is told by its text.
  if (record.Name().empty()) return RecordResult::kNameEmpty;
  if (!AccountRecord::HasLegalNameCharacters(record.Name())) return RecordResult::kNameHasIllegalChars;
  if (*message == (IsAccount() ? accounts::messages::kUserExists : accounts::messages::kGroupExists))
    return RecordResult::kNameTaken;
  return RecordResult::kRecordInvalid;
}

bool RecordControl::Commit(const AccountRecord& record, std::string_view previous_name) {
  if (!previous_name.empty() && !fileutil::EqualNoCase(previous_name, record.Name())) records_.Delete(previous_name);
  if (!records_.AddOrUpdate(record)) return false;
  if (IsAccount() && auth_ != nullptr) {
    // Only a logged-in account has a live balance to replace.
    [[maybe_unused]] const bool live = auth_->SetLiveCredits(record.Name(), record.mCurrentCredits);
  }
  return true;
}

RecordResult RecordControl::CheckCopy(const AccountRecord& source, std::string_view new_name) const {
  if (new_name.empty()) return RecordResult::kNameEmpty;
  if (!AccountRecord::HasLegalNameCharacters(new_name)) return RecordResult::kNameHasIllegalChars;
  if (records_.Exists(new_name)) return RecordResult::kNameTaken;
  if (source.Name().empty()) return RecordResult::kRecordGone;
  return RecordResult::kDone;
}

RecordResult RecordControl::Copy(AccountRecord source, std::string_view new_name) {
  if (const RecordResult result = CheckCopy(source, new_name); result != RecordResult::kDone) return result;
  source.SetName(new_name);
  return records_.AddOrUpdate(source) ? RecordResult::kDone : RecordResult::kNotStored;
}

RecordResult RecordControl::CopyNamed(std::string_view name, std::string_view new_name) {
  AccountRecord source;
  source.SetName(name);  // the name rule comes first, also when the source is gone
  if (const RecordResult result = CheckCopy(source, new_name); result != RecordResult::kDone) return result;
  if (TakeForEdit(name, &source) != RecordResult::kDone) return RecordResult::kRecordGone;
  return Copy(std::move(source), new_name);
}

const char* RecordControl::CopyRefusalText(RecordResult result, RecordKind kind) {
  namespace messages = accounts::messages;
  const bool account = kind == RecordKind::kAccount;
  switch (result) {
    case RecordResult::kNameEmpty: return account ? messages::kNoCopyLogin : messages::kNoCopyGroupName;
    case RecordResult::kNameHasIllegalChars:
      return account ? messages::kIllegalCopyLogin : messages::kIllegalGroupName;
    case RecordResult::kNameTaken: return account ? messages::kUserExists : messages::kGroupExists;
    default: return "";
  }
}

RecordResult RecordControl::Delete(std::string_view name) {
  // Looked up and removed under one hold of the lock, so "gone" is exact.
  Guard guard(records_.Lock());
  if (!records_.Exists(name)) return RecordResult::kRecordGone;
  records_.Delete(name);
  return RecordResult::kDone;
}

}  // namespace quillon::control
