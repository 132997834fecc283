// Where an AccountStore keeps its records instead of its file: a database
// that several servers share. The store still serves every look-up from
// memory; the backend fills it, writes its changes, and brings in what the
// other servers change.
//
// Thread-safety: as the implementation says; the store calls it without
// holding its own lock.
#pragma once

#include <string>

namespace quillon::accounts {

class AccountStore;

class StoreBackend {
 public:
  virtual ~StoreBackend() = default;
  // Replaces the store's records by the shared ones. False with *error
  // leaves the store as it was.
  [[nodiscard]] virtual bool LoadInto(AccountStore& store, std::string* error) = 0;
  // Writes what changed in the store since the backend last loaded or
  // wrote it: records added, changed and removed, and each balance as the
  // change from the one it last knew, so that changes made on several
  // servers add up. False with *error when the database refused or could
  // not be reached; the changes stay to be written by the next save.
  [[nodiscard]] virtual bool SaveFrom(AccountStore& store, std::string* error) = 0;
};

}  // namespace quillon::accounts
