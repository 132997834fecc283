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

std::string RecordList::Caption(const std::string& filter, std::size_t shown) const {
  if (filter.empty()) return Caption();
  return fileutil::FormatText(Groups() ? "Groups (%zu of %zu)" : "Accounts (%zu of %zu)", shown, records_.Count());
}

std::vector<std::string> RecordList::Columns() const {
  std::vector<std::string> columns = {"Name", "Enabled", "Group", "Root folder", "Space used", "Allocation", "Credits"};
  if (!Groups()) columns.insert(columns.end(), {"Sessions", "Last login"});
  return columns;
}

std::vector<control::RecordRow> RecordList::Rows(const std::string& filter) const { return records_.Rows(filter); }

std::vector<std::string> RecordList::Cells(const control::RecordRow& row) const {
  const auto or_dash = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
  std::vector<std::string> cells = {row.name,
                                    row.enabled ? "Yes" : "No",
                                    or_dash(row.group),
                                    or_dash(row.root_folder),
                                    control::UsedCellText(row),
                                    control::AllocationCellText(row),
                                    row.uses_credits ? std::to_string(row.credits) : "-"};
  if (!Groups()) cells.insert(cells.end(), {std::to_string(row.sessions), control::LoginTimeText(row.last_login_ns)});
  return cells;
}

std::string RecordList::UsedSpace(const AccountRecord& record) const {
  return control::UsedSpaceText(records_.RowOf(record));
}

bool RecordList::AskBulk(const std::vector<std::string>& names, const char* verb, const char* caption) {
  if (names.empty()) {
    prompter_.Tell(control::RecordControl::NothingPickedText(records_.Kind()), caption, Icon::kExclamation);
    return false;
  }
  if (verb == nullptr) return true;
  return prompter_.Ask(fileutil::FormatText("Are you sure you want to %s the selected %s?", verb,
                                            Groups() ? "groups" : "accounts"),
                       caption, Icon::kNone);
}

bool RecordList::SetEnabled(const std::vector<std::string>& names, bool enabled) {
  // Enabling takes nothing away: it is not asked.
  const bool go = enabled ? AskBulk(names, nullptr, Groups() ? "Enable Groups" : "Enable Accounts")
                          : AskBulk(names, "disable", Groups() ? "Disable Groups" : "Disable Accounts");
  if (!go) return false;
  // A record another face removed meanwhile is skipped: the rest still change.
  for (const std::string& name : names) records_.SetEnabled(name, enabled);
  Apply();
  return true;
}

bool RecordList::DeleteSelected(const std::vector<std::string>& names) {
  if (!AskBulk(names, "delete", Groups() ? "Delete Groups" : "Delete Accounts")) return false;
  for (const std::string& name : names) records_.Delete(name);
  Apply();
  return true;
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
  if (!control::RecordControl::FolderNameFree(*record, folder.Name(), editing))
    return Refuse(control::RecordControl::kFolderNameTaken);
  if (editing) {
    record->FolderAt(*editing) = folder;
  } else {
    record->AddOrReplaceFolder(folder);
  }
  return true;
}

bool RecordList::DeleteFolder(AccountRecord* record, std::size_t index) {
  if (index >= record->FolderCount()) return false;
  if (!prompter_.Ask("Are you sure you want to delete this virtual folder?", "Delete Virtual Folder", Icon::kNone))
    return false;
  record->RemoveFolder(index);
  return true;
}

}  // namespace quillon::app
