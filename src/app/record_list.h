// The desktop's account and group lists and their editor, on the records'
// control: the table with its filter, add, edit (with the live credit
// balance of a logged-in account), delete and copy, and the bulk enable,
// disable and delete of the records picked, each applied to the running
// server at once (and saved with the settings sheet); the editor's
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
  // The caption while `filter` narrows the table to `shown` rows: as
  // Caption() without a filter, else "Accounts (1 of 3)", "Groups (2 of 5)".
  std::string Caption(const std::string& filter, std::size_t shown) const;

  // The table's column headings: Name, Enabled, Group, Root folder, Space
  // used, Allocation, Credits, and for accounts Sessions and Last login.
  std::vector<std::string> Columns() const;
  // The rows whose names contain `filter` (any case), in the store's order.
  std::vector<control::RecordRow> Rows(const std::string& filter) const;
  // The texts of a row's cells, one per column.
  std::vector<std::string> Cells(const control::RecordRow& row) const;
  // The Limits tab's line on the space used by `record` as edited: "Used:
  // 256 KB of 1 MB (25%)".
  std::string UsedSpace(const accounts::AccountRecord& record) const;

  // "Enable selected" and "Disable selected": none picked is refused with
  // the reason shown; disabling asks first. True when the records changed
  // (those another face removed meanwhile are skipped).
  bool SetEnabled(const std::vector<std::string>& names, bool enabled);
  // "Delete selected": refused as above; asks first. True when deleted.
  bool DeleteSelected(const std::vector<std::string>& names);

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
  // The Folders tab's Delete: asks first; true when the folder at `index`
  // was taken off `record`.
  bool DeleteFolder(accounts::AccountRecord* record, std::size_t index);

 private:
  // The port change that applies the stores to logged-in accounts.
  void Apply();
  bool Refuse(const std::string& message);
  // None picked is refused with the reason shown; then, with a `verb`
  // ("disable", "delete"), the bulk question worded for the kind. True when
  // the change may go ahead.
  bool AskBulk(const std::vector<std::string>& names, const char* verb, const char* caption);

  ftp::FtpServer& server_;
  control::RecordControl records_;
  Prompter& prompter_;
};

}  // namespace quillon::app
