#include "app/record_list.h"

#include "accounts/account_store.h"
#include "accounts/messages.h"
#include "ftp/ftp_server.h"
#include "vfs/text.h"

namespace quillon::app {

using accounts::AccountRecord;
using Icon = Prompter::Icon;

RecordList::RecordList(ftp::FtpServer& server, bool groups, Prompter& prompter)
    : server_(server), groups_(groups), prompter_(prompter) {}

accounts::AccountStore& RecordList::Records() const {
  return groups_ ? server_.Groups() : server_.Accounts();
}

std::vector<std::string> RecordList::Names() const {
  accounts::AccountStore& store = Records();
  runtime::CriticalSection::Guard guard(store.Lock());
  std::vector<std::string> names;
  for (std::size_t i = 0; i < store.Count(); ++i) names.push_back(store.GetAt(i).Name());
  return names;
}

std::string RecordList::Caption() const {
  if (groups_) return "Groups";
  return vfs::FormatText("Accounts (%zu)", Records().Count());
}

AccountRecord RecordList::NewRecord() { return AccountRecord(); }

bool RecordList::TakeForEdit(const std::string& name, AccountRecord* record) const {
  if (!Records().GetCopy(name, record)) return false;
  std::uint32_t credits = 0;
  if (!groups_ && server_.Auth().GetLiveCredits(record->Name(), &credits))
    record->mCurrentCredits = credits;
  return true;
}

bool RecordList::Refuse(const std::string& message) {
  prompter_.Tell(message, "Input Error", Icon::kExclamation);
  return false;
}

bool RecordList::AcceptEdited(const AccountRecord& record, const std::string& previous_name) {
  std::string message;
  if (!record.Validate(previous_name, groups_, Records(), server_.Groups(), &message))
    return Refuse(message);
  return true;
}

void RecordList::Apply() {
  std::string error;
  if (!server_.ApplyPortChange(&error))
    prompter_.Tell(error + ".\r\n\r\nThe FTP Server has now deactivated.", "Error", Icon::kExclamation);
}

bool RecordList::Store(const AccountRecord& record, const std::string& previous_name) {
  accounts::AccountStore& store = Records();
  if (!previous_name.empty() && !vfs::EqualNoCase(previous_name, record.Name()))
    store.Delete(previous_name);
  if (!store.AddOrUpdate(record)) {
    prompter_.Tell("Error while inserting account/group.", "Error", Icon::kExclamation);
    return false;
  }
  if (!groups_) {
    // Only a logged-in account has a live balance to replace.
    [[maybe_unused]] const bool live =
        server_.Auth().SetLiveCredits(record.Name(), record.mCurrentCredits);
  }
  Apply();
  return true;
}

bool RecordList::Delete(const std::string& name) {
  const bool asked =
      groups_ ? prompter_.Ask("Are you sure you want to delete this group?", "Delete Group", Icon::kNone)
              : prompter_.Ask("Are you sure you want to delete this account?", "Delete Account",
                              Icon::kNone);
  if (!asked) return false;
  Records().Delete(name);
  Apply();
  return true;
}

bool RecordList::Copy(const std::string& name, const std::string& new_name) {
  accounts::AccountStore& store = Records();
  if (const char* refusal = accounts::CopyNameRefusal(new_name, !groups_, store)) return Refuse(refusal);
  AccountRecord copy;
  if (!TakeForEdit(name, &copy)) return false;
  copy.SetName(new_name);
  return Store(copy, "");
}

bool RecordList::AcceptFolder(AccountRecord* record, accounts::VirtualFolder folder,
                              std::optional<std::size_t> editing) {
  std::string message;
  if (!folder.Validate(&message)) return Refuse(message);
  const int same_name = record->FindFolder(folder.Name());
  const bool renamed = editing && !vfs::EqualNoCase(record->FolderAt(*editing).Name(), folder.Name());
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
