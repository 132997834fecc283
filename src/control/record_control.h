// The accounts or the groups as every face edits them: listing, the group
// choices of an editor, taking a record for editing with its live credit
// balance, the editor's check, committing an edit (a rename included),
// copying under a new name, and deleting. Applying the change to logged-in
// accounts and saving stay with the face, which knows when it saves.
//
// A RecordControl made from the server works on the server's stores and
// hands credit balances to and from logged-in accounts; one made from two
// stores (a tool that edits the files while no server runs) has no live
// balances. Either holds only references, so a face may make one per use.
//
// Thread-safety: any thread; the stores and the auth manager lock
// themselves and no lock is held across two calls, so another face may
// change the store between them (a record may be gone when it is deleted).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "accounts/account_record.h"

namespace quillon::accounts {
class AccountStore;
}
namespace quillon::access {
class AuthManager;
}
namespace quillon::ftp {
class FtpServer;
}

namespace quillon::control {

enum class RecordKind { kAccount, kGroup };

// What became of a record operation; each face words a refusal itself.
enum class RecordResult {
  kDone,
  kNameEmpty,
  kNameHasIllegalChars,
  kNameTaken,       // another record of the kind has the name (any case)
  kRecordInvalid,   // another check of an edited record failed: the message says which
  kRecordGone,      // the record is not in its store (another face removed it meanwhile)
  kNotStored,       // the store refused the record
};

// The groups an editor offers for one record.
struct GroupChoices {
  // The stored name of the group the record names; "" when no group has it.
  std::string current;
  // The groups the record may be in, in store order: all but, for a group,
  // the group itself (under its edited or its stored name).
  std::vector<std::string> names;
};

class RecordControl {
 public:
  RecordControl(ftp::FtpServer& server, RecordKind kind);
  // No server: no live balances.
  RecordControl(accounts::AccountStore& records, accounts::AccountStore& groups, RecordKind kind);

  RecordKind Kind() const { return kind_; }
  bool IsAccount() const { return kind_ == RecordKind::kAccount; }

  // The names, and copies of the records, in the store's order.
  std::vector<std::string> Names() const;
  std::vector<accounts::AccountRecord> List() const;
  std::size_t Count() const;

  GroupChoices ChoicesFor(const accounts::AccountRecord& record, std::string_view previous_name) const;

  // A copy of the named record in *record; an account that is logged in
  // brings its live balance instead of the stored one. kRecordGone when the
  // store has no such record.
  [[nodiscard]] RecordResult TakeForEdit(std::string_view name, accounts::AccountRecord* record) const;

  // The editor's check of `record`, whose name before editing was
  // `previous_name` ("" for a new record). kDone, or the refusal with the
  // editors' shared text in *message (kRecordInvalid for the checks beyond
  // the name).
  [[nodiscard]] RecordResult Check(const accounts::AccountRecord& record, std::string_view previous_name,
                                   std::string* message) const;
  // Stores a checked record in place of the one named `previous_name` (""
  // for a new one), which a rename removes; an edit whose original another
  // face removed meanwhile is stored anew. An account's balance replaces
  // the live balance of its logged-in sessions. False when the store
  // refused it. REQUIRES: Check(record, previous_name) gave kDone.
  [[nodiscard]] bool Commit(const accounts::AccountRecord& record, std::string_view previous_name);

  // The copy-name rule: kNameEmpty, kNameHasIllegalChars or kNameTaken, and
  // kRecordGone for a source without a name (nothing was chosen); kDone
  // when `source` may be copied under `new_name`.
  [[nodiscard]] RecordResult CheckCopy(const accounts::AccountRecord& source,
                                       std::string_view new_name) const;
  // Checks as CheckCopy, then stores `source` under `new_name`; kNotStored
  // when the store refused it.
  [[nodiscard]] RecordResult Copy(accounts::AccountRecord source, std::string_view new_name);
  // Copies the named record as it is now (kRecordGone when it is gone).
  [[nodiscard]] RecordResult CopyNamed(std::string_view name, std::string_view new_name);
  // The editors' text for a refusal of CheckCopy other than kRecordGone.
  static const char* CopyRefusalText(RecordResult result, RecordKind kind);

  // kRecordGone when there was no such record.
  RecordResult Delete(std::string_view name);

 private:
  accounts::AccountStore& records_;
  accounts::AccountStore& groups_;
  access::AuthManager* auth_;  // null without a server
  const RecordKind kind_;
};

}  // namespace quillon::control
