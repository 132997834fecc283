// quillon-setup's store commands: moving the accounts and groups between
// the files of config/ and a PostgreSQL database, and in and out of a JSON
// file.
//
//   store export FILE   writes every account and group of the store that
//                       quillon.conf names (account_store) to FILE
//   store import FILE   replaces every account and group of that store with
//                       those of FILE
//   store migrate       copies config/accounts.dta and config/groups.dta
//                       (with their IPv6 lists) into the database of
//                       postgresql_url, replacing what it held, and reads
//                       them back to check that every record arrived exact
//
// The JSON form: {"format": "quillon-records", "version": 1, "accounts":
// [...], "groups": [...]}, each record an object with the fields the JSON
// interface shows (name, group, root_folder, rights, credits, ...) and two
// more: "stored", the record in the stored form of the .dta files with its
// balance set to 0, as hexadecimal text, and "ipv6", its IPv6 list lines.
// An import takes "stored", "ipv6" and "credits"; the other fields are
// there to be read, and an import does not look at them. The file holds
// the stored passwords (hashes or scrambled): it is written owner-only.
//
// With the files store, import needs the instance lock (no server running
// on the folder). With the database, servers may run: each takes the
// change at once.
//
// Thread-safety: one per thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/account_record.h"
#include "platform/clock.h"

namespace quillon::app {

class StoreCommands {
 public:
  static constexpr const char* kFormat = "quillon-records";
  static constexpr std::uint64_t kMaxFileBytes = 1ull << 30;

  // `lock_out`: takes the instance lock, false with *err when a server runs.
  StoreCommands(platform::Clock& clock, std::string folder, std::function<bool(std::string*)> lock_out);

  static bool Handles(const std::vector<std::string>& args);
  // Exit code: 0 done, 1 refused or failed, 2 bad usage.
  int Run(const std::vector<std::string>& args, std::string* out, std::string* err);

  struct Records {
    std::vector<accounts::AccountRecord> accounts;
    std::vector<accounts::AccountRecord> groups;
  };
  // The JSON text of `records`, and back (false with *error).
  static std::string ToJson(const Records& records);
  [[nodiscard]] static bool FromJson(std::string_view text, Records* records, std::string* error);

 private:
  int Export(const std::string& path, std::string* out, std::string* err);
  int Import(const std::string& path, std::string* out, std::string* err);
  int Migrate(std::string* out, std::string* err);

  platform::Clock& clock_;
  const std::string folder_;
  const std::function<bool(std::string*)> lock_out_;
};

}  // namespace quillon::app
