// The accounts and groups of a server kept in a database that several
// servers share: the database, one backend per store, and what another
// server's change sets off here (the store merges it, then `changed` runs,
// as after an edit made here).
//
// Thread-safety: as SharedDatabase. Detaches the stores when destroyed.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "accounts/account_store.h"
#include "cluster/shared_database.h"
#include "cluster/shared_records.h"
#include "platform/clock.h"

namespace quillon::cluster {

class SharedStore {
 public:
  struct Hooks {
    std::function<void(const std::string& line)> log;
    std::function<void()> changed;
    std::function<void(const runtime::IpAddress& address)> failure;
    // Another server moved the balance of the named account by `shift`.
    SharedRecords::CreditListener credits;
  };

  SharedStore(std::string url, std::uint32_t lease_seconds, platform::Clock& clock,
              accounts::AccountStore& accounts, accounts::AccountStore& groups);
  ~SharedStore();
  SharedStore(const SharedStore&) = delete;
  SharedStore& operator=(const SharedStore&) = delete;

  // Attaches both stores, connects and starts listening. False with *error
  // when the database cannot be reached now: the stores stay attached and
  // are loaded once it can.
  [[nodiscard]] bool Open(Hooks hooks, std::string* error);
  // Attaches both stores and connects, without listening (a tool's single
  // read or write). False with *error.
  [[nodiscard]] bool Attach(std::string* error);

  SharedDatabase& Database() { return database_; }
  SharedRecords& Records(bool groups) { return groups ? groups_records_ : accounts_records_; }

 private:
  accounts::AccountStore& accounts_;
  accounts::AccountStore& groups_;
  SharedDatabase database_;
  SharedRecords accounts_records_;
  SharedRecords groups_records_;
};

}  // namespace quillon::cluster
