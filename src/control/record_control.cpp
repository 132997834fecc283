#include "control/record_control.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "access/auth_manager.h"
#include "accounts/account_store.h"
#include "accounts/effective_record.h"
#include "accounts/messages.h"
#include "ftp/ftp_server.h"
#include "platform/fs.h"
#include "runtime/critical_section.h"
#include "settings/server_settings.h"
#include "fileutil/text.h"

namespace quillon::control {

using accounts::AccountRecord;
using accounts::AccountStore;
using Guard = runtime::CriticalSection::Guard;

RecordControl::RecordControl(ftp::FtpServer& server, RecordKind kind)
    : records_(kind == RecordKind::kAccount ? server.Accounts() : server.Groups()),
      groups_(server.Groups()),
      auth_(&server.Auth()),
      settings_(&server.Settings()),
      hash_passwords_(false),
      kind_(kind) {}

RecordControl::RecordControl(AccountStore& records, AccountStore& groups, RecordKind kind,
                             bool hash_passwords)
    : records_(records),
      groups_(groups),
      auth_(nullptr),
      settings_(nullptr),
      hash_passwords_(hash_passwords),
      kind_(kind) {}

bool RecordControl::HashPasswords() const {
  if (settings_ == nullptr) return hash_passwords_;
  Guard guard(settings_->Lock());
  return settings_->Extra().HashPasswords();
}

bool RecordControl::StorePasswordForm(AccountRecord* record, std::string_view previous_name) const {
  const bool hashed = HashPasswords();
  AccountRecord before;
  const bool unchanged = !previous_name.empty() && records_.GetCopy(previous_name, &before) &&
                         before.Password() == record->Password();
  if (unchanged && (!hashed || record->HasPasswordHash())) return true;
  std::string error;
  return record->SetNewPassword(record->Password(), hashed, &error);
}

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

bool RecordControl::FolderNameFree(const AccountRecord& record, std::string_view name,
                                   std::optional<std::size_t> editing) {
  const int same_name = record.FindFolder(name);
  return same_name < 0 || (editing && static_cast<std::size_t>(same_name) == *editing);
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

bool RecordControl::Commit(const AccountRecord& edited, std::string_view previous_name) {
  AccountRecord record = edited;
  if (IsAccount() && !StorePasswordForm(&record, previous_name)) return false;
  if (!previous_name.empty() && !fileutil::EqualNoCase(previous_name, record.Name())) records_.Delete(previous_name);
  if (!records_.AddOrUpdate(record)) return false;
  if (IsAccount() && auth_ != nullptr) {
    // Only a logged-in account has a live balance to replace.
    [[maybe_unused]] const bool live = auth_->ReplaceLiveCredits(record.Name(), record.mCurrentCredits);
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

std::optional<std::uint32_t> RecordRow::UsedPercent() const {
  if (allocation_bytes == 0 || !used_known) return std::nullopt;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(used_bytes * 100 / allocation_bytes, UINT32_MAX));
}

std::string SizeText(std::uint64_t bytes) {
  static constexpr const char* kUnits[] = {"B", "KB", "MB", "GB", "TB"};
  std::size_t unit = 0;
  double value = static_cast<double>(bytes);
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  // Rounded to one decimal below 10 of a unit ("1.2 GB"), to whole ones
  // above; a whole value drops its ".0".
  const auto tenths = static_cast<unsigned long long>(std::llround(value * 10));
  if (unit > 0 && tenths < 100 && tenths % 10 != 0)
    std::snprintf(text, sizeof text, "%llu.%llu %s", tenths / 10, tenths % 10, kUnits[unit]);
  else
    std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(std::llround(value)), kUnits[unit]);
  return text;
}

const char* RecordControl::NothingPickedText(RecordKind kind) {
  return kind == RecordKind::kAccount ? "Please select one or more accounts from the list."
                                      : "Please select one or more groups from the list.";
}

std::string UsedSpaceText(const RecordRow& row) {
  const std::string used = row.used_known ? SizeText(row.used_bytes) : "not measured yet";
  if (row.allocation_bytes == 0) return "Used: " + used + " (no allocation)";
  std::string text = "Used: " + used + " of " + SizeText(row.allocation_bytes);
  if (const std::optional<std::uint32_t> percent = row.UsedPercent())
    text += " (" + std::to_string(*percent) + "%)";
  return text;
}

std::string UsedCellText(const RecordRow& row) {
  std::string used = row.used_known ? SizeText(row.used_bytes) : "-";
  if (const std::optional<std::uint32_t> percent = row.UsedPercent())
    used += " (" + std::to_string(*percent) + "%)";
  return used;
}

std::string AllocationCellText(const RecordRow& row) {
  return row.allocation_bytes > 0 ? SizeText(row.allocation_bytes) : "None";
}

std::string LoginTimeText(std::optional<std::int64_t> wall_ns) {
  platform::CalendarTime local;
  if (!wall_ns || !platform::ToCalendar(*wall_ns / 1'000'000'000, true, &local)) return "-";
  return fileutil::FormatText("%04d-%02d-%02d %02d:%02d:%02d", local.year, local.month, local.day, local.hour,
                              local.minute, local.second);
}

std::string AllocationWarningText(const RecordRow& row, std::string_view shown_name) {
  return fileutil::FormatText("Account '%s' has used %u%% of its allocation (%s of %s).",
                              std::string(shown_name).c_str(), row.UsedPercent().value_or(0),
                              SizeText(row.used_bytes).c_str(), SizeText(row.allocation_bytes).c_str());
}

AccountRecord RecordControl::Merged(const AccountRecord& record) const {
  AccountRecord merged = record;
  if (!IsAccount()) return merged;
  AccountRecord group;
  for (int merges = 0; merged.mInGroup && merges < accounts::kMaxGroupMerges; ++merges) {
    if (!groups_.GetCopy(merged.Group(), &group)) break;
    accounts::MergeGroup(&merged, group);
  }
  return merged;
}

RecordRow RecordControl::RowOf(const AccountRecord& record) const {
  RecordRow row;
  row.name = record.Name();
  row.enabled = record.mEnabled;
  if (record.mInGroup) row.group = record.Group();
  if (record.mUseRootFolder) row.root_folder = record.RootFolder();
  row.uses_credits = record.mUseCredits;
  row.credits = record.mCurrentCredits;
  const AccountRecord merged = Merged(record);
  if (merged.mUseMaxSize) row.allocation_bytes = std::uint64_t{merged.mMaxSize} * 1'048'576;
  // The folders the allocation counts, as the quota counts them; only
  // sizes the cache holds now, never a walk.
  if (auth_ != nullptr) {
    fileutil::FolderSizeCache& cache = auth_->Cache();
    std::vector<std::string> counted;
    if (merged.mUseRootFolder) counted.push_back(merged.RootFolder());
    for (const accounts::VirtualFolder& folder : merged.VirtualFolders())
      if (folder.mCountsTowardsSize) counted.push_back(folder.Path());
    // A record without folders that count has nothing to tell.
    row.used_known = !counted.empty();
    for (const std::string& folder : counted) {
      std::uint64_t bytes = 0;
      if (!cache.CachedSize(folder, &bytes)) row.used_known = false;
      row.used_bytes += bytes;
    }
    if (IsAccount()) {
      row.sessions = auth_->SessionsOf(record.Name());
      std::int64_t when = 0;
      if (auth_->LastLogin(record.Name(), &when)) row.last_login_ns = when;
      std::uint32_t live = 0;
      if (auth_->GetLiveCredits(record.Name(), &live)) row.credits = live;
    }
  }
  return row;
}

std::vector<RecordRow> RecordControl::Rows(std::string_view filter) const {
  std::string folded_filter(filter);
  std::transform(folded_filter.begin(), folded_filter.end(), folded_filter.begin(), fileutil::FoldCase);
  std::vector<RecordRow> rows;
  for (const AccountRecord& record : List()) {
    std::string name = record.Name();
    std::transform(name.begin(), name.end(), name.begin(), fileutil::FoldCase);
    if (name.find(folded_filter) == std::string::npos) continue;
    rows.push_back(RowOf(record));
  }
  return rows;
}

std::vector<RecordRow> RecordControl::AboveAllocation(std::uint32_t percent) const {
  std::vector<RecordRow> above;
  if (!IsAccount()) return above;
  for (RecordRow& row : Rows()) {
    // Compared in bytes: 90% of a small allocation is not a whole percent.
    if (row.allocation_bytes == 0 || !row.used_known) continue;
    if (row.used_bytes * 100 > row.allocation_bytes * percent) above.push_back(std::move(row));
  }
  return above;
}

RecordResult RecordControl::SetEnabled(std::string_view name, bool enabled) {
  AccountRecord record;
  Guard guard(records_.Lock());
  if (!records_.GetCopy(name, &record)) return RecordResult::kRecordGone;
  record.mEnabled = enabled;
  return records_.AddOrUpdate(record) ? RecordResult::kDone : RecordResult::kNotStored;
}

}  // namespace quillon::control
