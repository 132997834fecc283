// The accounts (or the groups) of several servers, kept in the shared
// database's table quillon_records: one row per record, with kind 'a' or
// 'g', the key of its name (SharedDatabase::KeyOf), the record in the
// stored form of the .dta files with its balance set to 0 (bytea), its
// IPv6 list entries in the lines of the "-ipv6.txt" files, and its balance
// (credits) on its own, so that balances change by atomic additions.
//
// The backend remembers what it last read or wrote of each record. A save
// writes only the records that differ from that, and each balance as the
// change from it: two servers that both charge an account both count. A
// change another server announces is read and merged in; balance changes
// not yet written here are kept on top of it.
//
// Thread-safety: every operation takes the backend's lock, then the
// store's or the database's.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "accounts/account_store.h"
#include "accounts/store_backend.h"
#include "cluster/shared_database.h"
#include "runtime/critical_section.h"

namespace quillon::cluster {

class SharedRecords : public accounts::StoreBackend {
 public:
  // `kind`: 'a' for accounts, 'g' for groups.
  SharedRecords(SharedDatabase& database, char kind) : database_(database), kind_(kind) {}

  // Told (without the backend's lock) how far another server moved the
  // balance of the named record, so that a logged-in account's live balance
  // moves too. Set before the store is used.
  using CreditListener = std::function<void(const std::string& name, std::int64_t shift)>;
  void SetCreditListener(CreditListener listener) { credit_listener_ = std::move(listener); }

  bool LoadInto(accounts::AccountStore& store, std::string* error) override;
  bool SaveFrom(accounts::AccountStore& store, std::string* error) override;
  // Reads the record of `key` again after another server changed it; false
  // when the database could not be read.
  [[nodiscard]] bool Refresh(accounts::AccountStore& store, const std::string& key, std::string* error);

  // Writes `records` over every record of this kind in the database (an
  // import or a migration): the rows not among them are removed.
  [[nodiscard]] bool ReplaceAll(const std::vector<accounts::AccountRecord>& records, std::string* error);

  // The row's form of a record, and back.
  struct Row {
    std::string body;  // the stored form, balance 0
    std::string ipv6;  // its IPv6 list lines
    std::uint32_t credits = 0;
    bool operator==(const Row&) const = default;
  };
  static Row ToRow(const accounts::AccountRecord& record);
  [[nodiscard]] static bool FromRow(const Row& row, accounts::AccountRecord* record);

 private:
  struct Known {
    std::string name;
    Row row;
  };
  // Parses the columns record, ipv6 and credits.
  [[nodiscard]] static bool ParseColumns(const platform::PgConnection::Row& columns, std::size_t first, Row* row);
  // Keeps `row` (nullopt: none) in the store in place of the record named
  // `name`, with the balance changes not yet written kept on top; records
  // it as last read.
  void MergeLocked(accounts::AccountStore& store, const std::string& key, const std::string& name,
                   const std::optional<Row>& row);

  // The operations of the same names, under the lock; they collect the
  // balance moves.
  bool LoadLocked(accounts::AccountStore& store, std::string* error);
  bool RefreshLocked(accounts::AccountStore& store, const std::string& key, std::string* error);
  bool SaveLocked(accounts::AccountStore& store, std::string* error);
  // Hands the collected balance moves to the listener. REQUIRES: lock_ not held.
  void DeliverShifts();

  SharedDatabase& database_;
  const char kind_;
  CreditListener credit_listener_;
  runtime::CriticalSection lock_;
  std::map<std::string, Known> known_;  // guarded by lock_: by key, as last read or written
  std::vector<std::pair<std::string, std::int64_t>> shifts_;  // guarded by lock_: to deliver
};

}  // namespace quillon::cluster
