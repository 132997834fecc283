#include "app/store_commands.h"

#include <memory>
#include <set>

#include "accounts/account_store.h"
#include "admin/json_api.h"
#include "cluster/shared_store.h"
#include "fileutil/file_handle.h"
#include "fileutil/file_writer.h"
#include "fileutil/text.h"
#include "http/json_value.h"
#include "settings/extra_settings.h"

namespace quillon::app {

using accounts::AccountRecord;
using accounts::AccountStore;
using cluster::SharedRecords;
using http::JsonValue;

namespace {

constexpr const char* kKinds[] = {"accounts", "groups"};

// The stores of the program folder: its files, or the database that
// quillon.conf names.
class Stores {
 public:
  Stores(platform::Clock& clock, const std::string& folder)
      : clock_(clock),
        accounts_(folder + "/config/accounts.dta", nullptr, &clock),
        groups_(folder + "/config/groups.dta", nullptr, &clock) {}

  // Attaches the database when `use_database` (false with *err when it
  // cannot be reached), then loads both stores.
  bool Open(const settings::ExtraSettings& extra, bool use_database, std::string* err) {
    if (use_database) {
      shared_ = std::make_unique<cluster::SharedStore>(extra.PostgresUrl(), extra.LeaseSeconds(), clock_, accounts_,
                                                       groups_);
      if (std::string error; !shared_->Attach(&error)) {
        *err = "Unable to reach the account database: " + error + "\n";
        return false;
      }
    }
    if (accounts_.Load() && groups_.Load() && !accounts_.Damage() && !groups_.Damage()) return true;
    *err = use_database ? "Unable to read the account database: " + accounts_.BackendError() + groups_.BackendError() + "\n"
                        : std::string("Unable to read config/accounts.dta and config/groups.dta whole.\n");
    return false;
  }

  AccountStore& Of(bool groups) { return groups ? groups_ : accounts_; }
  cluster::SharedStore* Shared() { return shared_.get(); }

 private:
  platform::Clock& clock_;
  AccountStore accounts_;
  AccountStore groups_;
  std::unique_ptr<cluster::SharedStore> shared_;  // last: detaches the stores first
};

std::string Counted(const StoreCommands::Records& records) {
  return std::to_string(records.accounts.size()) + " accounts and " + std::to_string(records.groups.size()) +
         " groups";
}

}  // namespace

StoreCommands::StoreCommands(platform::Clock& clock, std::string folder, std::function<bool(std::string*)> lock_out)
    : clock_(clock), folder_(std::move(folder)), lock_out_(std::move(lock_out)) {}

bool StoreCommands::Handles(const std::vector<std::string>& args) { return !args.empty() && args[0] == "store"; }

int StoreCommands::Run(const std::vector<std::string>& args, std::string* out, std::string* err) {
  if (args.size() == 3 && args[1] == "export") return Export(args[2], out, err);
  if (args.size() == 3 && args[1] == "import") return Import(args[2], out, err);
  if (args.size() == 2 && args[1] == "migrate") return Migrate(out, err);
  *err = "usage: quillon-setup store export FILE | store import FILE | store migrate\n";
  return 2;
}

namespace {

// quillon.conf as it stands; a line it cannot read leaves that key at its default.
settings::ExtraSettings ReadConf(const std::string& folder) {
  settings::ExtraSettings extra;
  std::string message;
  [[maybe_unused]] const bool clean = extra.Load(folder + "/config/" + settings::ExtraSettings::kFileName, &message);
  return extra;
}

}  // namespace

int StoreCommands::Export(const std::string& path, std::string* out, std::string* err) {
  const settings::ExtraSettings extra = ReadConf(folder_);
  Stores stores(clock_, folder_);
  if (!stores.Open(extra, extra.SharedAccountStore(), err)) return 1;
  const Records records{stores.Of(false).CopyAll(), stores.Of(true).CopyAll()};
  fileutil::FileWriter writer;
  if (!writer.ReplaceFile(path, ToJson(records), fileutil::FileHandle::kOwnerOnlyFile)) {
    *err = "Unable to write " + path + "\n";
    return 1;
  }
  *out = "Exported " + Counted(records) + " to " + path + "\n";
  return 0;
}

int StoreCommands::Import(const std::string& path, std::string* out, std::string* err) {
  std::string text, error;
  Records records;
  if (!fileutil::ReadWholeFile(path, kMaxFileBytes, &text)) {
    *err = "Unable to read " + path + "\n";
    return 1;
  }
  if (!FromJson(text, &records, &error)) {
    *err = path + ": " + error + "\n";
    return 1;
  }
  const settings::ExtraSettings extra = ReadConf(folder_);
  const bool shared = extra.SharedAccountStore();
  // The files are written whole, so no server may hold them meanwhile.
  if (!shared && !lock_out_(err)) return 1;
  Stores stores(clock_, folder_);
  if (!stores.Open(extra, shared, err)) return 1;
  bool written;
  if (shared) {
    written = stores.Shared()->Records(false).ReplaceAll(records.accounts, &error) &&
              stores.Shared()->Records(true).ReplaceAll(records.groups, &error);
  } else {
    stores.Of(false).ReplaceAll(records.accounts);
    stores.Of(true).ReplaceAll(records.groups);
    written = stores.Of(false).Save() && stores.Of(true).Save();
    if (!written) error = "unable to write config/accounts.dta and config/groups.dta";
  }
  if (!written) {
    *err = "Import failed: " + error + "\n";
    return 1;
  }
  *out = "Imported " + Counted(records) + (shared ? " into the account database\n" : " into config/\n");
  return 0;
}

int StoreCommands::Migrate(std::string* out, std::string* err) {
  const settings::ExtraSettings extra = ReadConf(folder_);
  if (!extra.SharedAccountStore() || extra.PostgresUrl().empty()) {
    *err = "store migrate needs account_store = postgresql and postgresql_url in config/quillon.conf\n";
    return 1;
  }
  Stores files(clock_, folder_);
  if (!files.Open(extra, false, err)) return 1;
  const Records records{files.Of(false).CopyAll(), files.Of(true).CopyAll()};
  Stores database(clock_, folder_);
  std::string error;
  if (!database.Open(extra, true, err)) return 1;
  if (!database.Shared()->Records(false).ReplaceAll(records.accounts, &error) ||
      !database.Shared()->Records(true).ReplaceAll(records.groups, &error)) {
    *err = "Migration failed: " + error + "\n";
    return 1;
  }
  // Read back: the stored form of every record, and its IPv6 lists, as the files hold them.
  if (!database.Of(false).Load() || !database.Of(true).Load()) {
    *err = "Migrated, but the account database cannot be read back: " + database.Of(false).BackendError() + "\n";
    return 1;
  }
  for (const bool groups : {false, true}) {
    const std::vector<AccountRecord> read = database.Of(groups).CopyAll();
    const std::vector<AccountRecord> sent = files.Of(groups).CopyAll();
    bool same = read.size() == sent.size();
    for (std::size_t i = 0; same && i < read.size(); ++i)
      same = AccountStore::SerialiseRecord(read[i]) == AccountStore::SerialiseRecord(sent[i]) &&
             SharedRecords::ToRow(read[i]) == SharedRecords::ToRow(sent[i]);
    if (!same) {
      *err = std::string("Migrated, but the ") + kKinds[groups] + " read back differ from the files.\n";
      return 1;
    }
  }
  *out = "Migrated " + Counted(records) + " into the account database; read back identical\n";
  return 0;
}

std::string StoreCommands::ToJson(const Records& records) {
  JsonValue document = JsonValue::Object();
  document.Set("format", kFormat).Set("version", 1);
  for (const bool groups : {false, true}) {
    JsonValue list = JsonValue::Array();
    for (const AccountRecord& record : groups ? records.groups : records.accounts) {
      const SharedRecords::Row row = SharedRecords::ToRow(record);
      JsonValue item = admin::RecordFieldsJson(record, groups);
      item.Set("stored", fileutil::LowerHex(row.body)).Set("ipv6", row.ipv6);
      list.Append(std::move(item));
    }
    document.Set(kKinds[groups], std::move(list));
  }
  return document.Dump() + "\n";
}

bool StoreCommands::FromJson(std::string_view text, Records* records, std::string* error) {
  std::optional<JsonValue> document = JsonValue::Parse(text, error);
  if (!document) return false;
  const JsonValue* format = document->Find("format");
  const JsonValue* version = document->Find("version");
  std::int64_t number = 0;
  if (format == nullptr || !format->IsString() || format->AsString() != kFormat || version == nullptr ||
      !version->AsInteger(&number) || number != 1) {
    *error = std::string("not a records file of format \"") + kFormat + "\" version 1";
    return false;
  }
  for (const bool groups : {false, true}) {
    const JsonValue* list = document->Find(kKinds[groups]);
    if (list == nullptr || !list->IsArray()) {
      *error = std::string("no list \"") + kKinds[groups] + "\"";
      return false;
    }
    std::set<std::string> names;
    std::vector<AccountRecord>& out = groups ? records->groups : records->accounts;
    for (const JsonValue& item : list->Items()) {
      const std::string where = std::string(kKinds[groups]) + " item " + std::to_string(out.size() + 1);
      const JsonValue* stored = item.Find("stored");
      const JsonValue* ipv6 = item.Find("ipv6");
      const JsonValue* credits = item.Find("credits");
      SharedRecords::Row row;
      std::int64_t balance = 0;
      if (stored == nullptr || !stored->IsString() || !fileutil::ParseHex(stored->AsString(), &row.body) ||
          (ipv6 != nullptr && !ipv6->IsString()) || credits == nullptr || !credits->AsInteger(&balance) ||
          balance < 0 || balance > UINT32_MAX) {
        *error = where + ": \"stored\" (hexadecimal), \"credits\" (0-4294967295) and \"ipv6\" (text) are needed";
        return false;
      }
      if (ipv6 != nullptr) row.ipv6 = ipv6->AsString();
      row.credits = static_cast<std::uint32_t>(balance);
      AccountRecord record;
      if (!SharedRecords::FromRow(row, &record) || record.Name().empty()) {
        *error = where + ": \"stored\" is not a whole record";
        return false;
      }
      std::string key = record.Name();
      for (char& c : key) c = fileutil::FoldCase(c);
      if (!names.insert(key).second) {
        *error = where + ": the name " + record.Name() + " comes twice";
        return false;
      }
      out.push_back(std::move(record));
    }
  }
  return true;
}

}  // namespace quillon::app
