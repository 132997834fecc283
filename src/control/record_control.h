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

#include <cstdint>
#include <optional>
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
namespace quillon::settings {
class ServerSettings;
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

// One record's row of the accounts or groups table. Used space comes from
// the folder-size cache only: a folder no transfer has measured yet leaves
// it unknown rather than walking the folder.
struct RecordRow {
  std::string name;
  bool enabled = false;
  std::string group;        // "" when the record is in no group
  std::string root_folder;  // "" without a root folder
  bool used_known = false;  // there are counted folders and each has a cached size
  std::uint64_t used_bytes = 0;
  std::uint64_t allocation_bytes = 0;  // 0: no allocation (accounts: with their groups')
  bool uses_credits = false;
  std::uint32_t credits = 0;            // an account's live balance while logged in
  std::uint32_t sessions = 0;           // accounts only
  std::optional<std::int64_t> last_login_ns;  // accounts only; none since the start

  // The used share of the allocation in whole percent; nullopt without an
  // allocation or a known size.
  std::optional<std::uint32_t> UsedPercent() const;
};

// "1.2 GB", "512 KB", "0 B": a size as the pages show it (1024 steps, one
// decimal below 10 of a unit).
std::string SizeText(std::uint64_t bytes);

// The texts every face shows for a row, unescaped: a page escapes them.
// The editor's line on the space used: "Used: 256 KB of 1 MB (25%)",
// "Used: 3 MB (no allocation)", "Used: not measured yet of 1 MB".
std::string UsedSpaceText(const RecordRow& row);
// The table's space used: "973 KB (95%)", "3 MB" without an allocation, "-"
// when not measured.
std::string UsedCellText(const RecordRow& row);
// The table's allocation: "1 MB", or "None".
std::string AllocationCellText(const RecordRow& row);
// The table's last login in local time, "2026-12-09 03:14:02"; "-" for none
// (or a time the calendar cannot show).
std::string LoginTimeText(std::optional<std::int64_t> wall_ns);
// The warning of an account above its allocation's warning share: "Account
// 'dave' has used 95% of its allocation (973 KB of 1 MB)." `shown_name` is
// the row's name as the face shows it (a page passes it escaped).
std::string AllocationWarningText(const RecordRow& row, std::string_view shown_name);

class RecordControl {
 public:
  RecordControl(ftp::FtpServer& server, RecordKind kind);
  // No server: no live balances. `hash_passwords` is the password form of
  // quillon.conf (true: "hashed").
  RecordControl(accounts::AccountStore& records, accounts::AccountStore& groups, RecordKind kind,
                bool hash_passwords = false);

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
  // refused it. A password the edit changed is stored as quillon.conf asks
  // (see AccountRecord::SetNewPassword); in hashed mode one left as it was
  // becomes a hash too, and a hash is never hashed again. False also when
  // the password cannot be hashed. REQUIRES: Check(record, previous_name)
  // gave kDone.
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
  // The faces' text for a bulk change with no record picked.
  static const char* NothingPickedText(RecordKind kind);

  // The editors' text for a virtual folder whose name another folder of the
  // record has.
  static constexpr const char* kFolderNameTaken =
      "Sorry that folder name already exists, please choose another name.";
  // Whether `name` may name a folder of `record`: no other folder has it
  // (any case). `editing` is the index of the folder being edited, which
  // may keep its own name; empty for a new folder.
  static bool FolderNameFree(const accounts::AccountRecord& record, std::string_view name,
                             std::optional<std::size_t> editing);

  // The table rows of the records whose names contain `filter` (any case;
  // "" for all), in store order.
  std::vector<RecordRow> Rows(std::string_view filter = {}) const;
  // The row of a record as it is given (an editor's working copy too).
  RecordRow RowOf(const accounts::AccountRecord& record) const;
  // The share of its allocation above which an account is warned about.
  static constexpr std::uint32_t kAllocationWarningPercent = 90;
  // The account rows whose known used space is above `percent` of their
  // allocation.
  std::vector<RecordRow> AboveAllocation(std::uint32_t percent) const;
  // Enables or disables the named record (kRecordGone when it is gone). The
  // face applies and saves.
  RecordResult SetEnabled(std::string_view name, bool enabled);

 private:
  accounts::AccountStore& records_;
  accounts::AccountStore& groups_;
  access::AuthManager* auth_;  // null without a server
  settings::ServerSettings* settings_;  // null without a server
  const bool hash_passwords_;  // without a server

  bool HashPasswords() const;
  // The edited account's password in the form it is stored in.
  [[nodiscard]] bool StorePasswordForm(accounts::AccountRecord* record, std::string_view previous_name) const;

  // A record with its group chain merged (accounts), for the limits and the
  // folders that count.
  accounts::AccountRecord Merged(const accounts::AccountRecord& record) const;
  const RecordKind kind_;
};

}  // namespace quillon::control
