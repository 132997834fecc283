// The desktop's account and group lists and their editor, on the records'
// control: add, edit (with the live credit balance of a logged-in account),
// delete and copy, each applied to the running server at once; the editor's
// OK check and group choices, worded for the desktop; and the virtual
// folders of the "Folders" tab. The windows show the names and records and
// collect the user's edits.
//
// Thread-safety: the desktop's thread only; the stores lock inside.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "accounts/account_record.h"
#include "app/prompter.h"
#include "control/record_control.h"

namespace quillon::ftp {
class FtpServer;
}

namespace quillon::app {

class RecordList {
 public:
  // `groups`: the list works on the group store, else on the accounts.
  RecordList(ftp::FtpServer& server, bool groups, Prompter& prompter);

  bool Groups() const { return !records_.IsAccount(); }
  // The names in the store's order.
  std::vector<std::string> Names() const;
  // The window's caption: "Groups", or the accounts and their number.
  std::string Caption() const;

  // A record with the defaults, for "Add".
  static accounts::AccountRecord NewRecord();
  // A copy of the named record for "Edit"; an account that is logged in
  // brings its current balance. False when the record is gone.
  bool TakeForEdit(const std::string& name, accounts::AccountRecord* record) const;
  // The editor's OK: true when `record` may be stored; otherwise the reason
  // is shown ("Input Error") and the editor stays open. `previous_name` is
  // the record's name before editing ("" for a new one).
  bool AcceptEdited(const accounts::AccountRecord& record, const std::string& previous_name);
  // The groups the editor offers for `record` (see control::GroupChoices).
  std::vector<std::string> GroupChoices(const accounts::AccountRecord& record,
                                        const std::string& previous_name) const;

  // Stores a record the editor accepted (replacing the record that had
  // `previous_name`; "" for a new one), hands an account's balance to its
  // live account and applies the change. False when it could not be stored.
  bool Store(const accounts::AccountRecord& record, const std::string& previous_name);
  // Asks first; true when the record was deleted.
  bool Delete(const std::string& name);
  // Copies the named record under `new_name` (from the copy prompt); false
  // with the reason shown when the name is refused.
  bool Copy(const std::string& name, const std::string& new_name);

  // The virtual folder dialog's OK for `folder`, edited from the folder at
  // `editing` (none for a new folder). False with the reason shown: the
  // dialog opens again with the values entered.
  bool AcceptFolder(accounts::AccountRecord* record, accounts::VirtualFolder folder,
                    std::optional<std::size_t> editing);

 private:
  // The port change that applies the stores to logged-in accounts.
  void Apply();
  bool Refuse(const std::string& message);

  ftp::FtpServer& server_;
  control::RecordControl records_;
  Prompter& prompter_;
};

}  // namespace quillon::app
