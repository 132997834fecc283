#include "app/record_list.h"

#include "app/settings_sheet.h"
#include "ftp/ftp_server.h"
#include "fileutil/text.h"

namespace quillon::app {

using accounts::AccountRecord;
using Icon = Prompter::Icon;

namespace {
constexpr const char* kNotInserted = "Error while inserting account/group.";
}  // namespace

RecordList::RecordList(ftp::FtpServer& server, bool groups, Prompter& prompter)
    : server_(server),
      records_(server, groups ? control::RecordKind::kGroup : control::RecordKind::kAccount),
      prompter_(prompter) {}

std::vector<std::string> RecordList::Names() const { return records_.Names(); }

std::string RecordList::Caption() const {
  if (Groups()) return "Groups";
  return fileutil::FormatText("Accounts (%zu)", records_.Count());
}

AccountRecord RecordList::NewRecord() { return AccountRecord(); }

bool RecordList::TakeForEdit(const std::string& name, AccountRecord* record) const {
  return records_.TakeForEdit(name, record) == control::RecordResult::kDone;
}

std::vector<std::string> RecordList::GroupChoices(const AccountRecord& record,
                                                  const std::string& previous_name) const {
  return records_.ChoicesFor(record, previous_name).names;
}

bool RecordList::Refuse(const std::string& message) {
  prompter_.Tell(message, "Input Error", Icon::kExclamation);
  return false;
}

bool RecordList::AcceptEdited(const AccountRecord& record, const std::string& previous_name) {
  std::string message;
  if (records_.Check(record, previous_name, &message) != control::RecordResult::kDone) return Refuse(message);
  return true;
}

void RecordList::Apply() { SettingsSheet::ApplyPortChange(server_, prompter_); }

bool RecordList::Store(const AccountRecord& record, const std::string& previous_name) {
  if (!records_.Commit(record, previous_name)) {
    prompter_.Tell(kNotInserted, "Error", Icon::kExclamation);
    return false;
  }
  Apply();
  return true;
}

bool RecordList::Delete(const std::string& name) {
  const bool asked =
      Groups() ? prompter_.Ask("Are you sure you want to delete this group?", "Delete Group", Icon::kNone)
               : prompter_.Ask("Are you sure you want to delete this account?", "Delete Account",
                               Icon::kNone);
  if (!asked) return false;
  // A record another face removed meanwhile is gone all the same.
  records_.Delete(name);
  Apply();
  return true;
}

bool RecordList::Copy(const std::string& name, const std::string& new_name) {
  switch (const control::RecordResult result = records_.CopyNamed(name, new_name)) {
    case control::RecordResult::kDone: Apply(); return true;
    case control::RecordResult::kRecordGone: return false;
    case control::RecordResult::kNotStored:
      prompter_.Tell(kNotInserted, "Error", Icon::kExclamation);
      return false;
    default: return Refuse(control::RecordControl::CopyRefusalText(result, records_.Kind()));
  }
}

bool RecordList::AcceptFolder(AccountRecord* record, accounts::VirtualFolder folder,
                              std::optional<std::size_t> editing) {
  std::string message;
  if (!folder.Validate(&message)) return Refuse(message);
  const int same_name = record->FindFolder(folder.Name());
  const bool renamed = editing && !fileutil::EqualNoCase(record->FolderAt(*editing).Name(), folder.Name());
  if (same_name >= 0 && (!editing || (renamed && static_cast<std::size_t>(same_name) != *editing)))
    return Refuse("Sorry that folder name already exists, please choose another name.");
  if (editing) {
    record->FolderAt(*editing) = folder;
  } else {
    record->AddOrReplaceFolder(folder);
  }
  return true;
}

}  // namespace quillon::app
