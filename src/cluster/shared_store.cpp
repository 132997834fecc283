#include "cluster/shared_store.h"

namespace quillon::cluster {

SharedStore::SharedStore(std::string url, std::uint32_t lease_seconds, platform::Clock& clock,
                         accounts::AccountStore& accounts, accounts::AccountStore& groups)
    : accounts_(accounts),
      groups_(groups),
      database_(std::move(url), lease_seconds, clock),
      accounts_records_(database_, 'a'),
      groups_records_(database_, 'g') {}

SharedStore::~SharedStore() {
  database_.Close();
  accounts_.SetBackend(nullptr);
  groups_.SetBackend(nullptr);
}

bool SharedStore::Attach(std::string* error) {
  accounts_.SetBackend(&accounts_records_);
  groups_.SetBackend(&groups_records_);
  return database_.Connect(error);
}

bool SharedStore::Open(Hooks hooks, std::string* error) {
  accounts_records_.SetCreditListener(hooks.credits);
  accounts_.SetBackend(&accounts_records_);
  groups_.SetBackend(&groups_records_);
  SharedDatabase::Hooks database_hooks;
  database_hooks.log = hooks.log;
  database_hooks.failure = hooks.failure;
  database_hooks.record_changed = [this, changed = hooks.changed, log = hooks.log](char kind,
                                                                                   const std::string& key) {
    std::string failure;
    const bool groups = kind == 'g';
    if (!Records(groups).Refresh(groups ? groups_ : accounts_, key, &failure)) {
      // The next reconnection loads everything again.
      if (log) log("Account Database Read Failed: Reason=[" + failure + "]");
      return;
    }
    if (changed) changed();
  };
  database_hooks.reconnected = [this, changed = hooks.changed, log = hooks.log] {
    if (!accounts_.Load() || !groups_.Load()) {
      if (log) log("Account Database Read Failed: Reason=[" + accounts_.BackendError() + groups_.BackendError() + "]");
      return;
    }
    if (changed) changed();
  };
  return database_.Open(std::move(database_hooks), error);
}

}  // namespace quillon::cluster
