#include "cluster/shared_records.h"

#include <algorithm>
#include <charconv>
#include <set>

#include "fileutil/ipv6_list_file.h"
#include "fileutil/text.h"

namespace quillon::cluster {

using accounts::AccountRecord;
using accounts::AccountStore;
using Guard = runtime::CriticalSection::Guard;

namespace {

constexpr const char* kUpsert =
    "INSERT INTO quillon_records AS r (kind, key, record, ipv6, credits) VALUES ($1, $2, $3::bytea, $4, $5) "
    "ON CONFLICT (kind, key) DO UPDATE SET record = EXCLUDED.record, ipv6 = EXCLUDED.ipv6, "
    "credits = CASE WHEN $7::boolean THEN EXCLUDED.credits "
    "ELSE LEAST(4294967295, GREATEST(0, r.credits + $6::bigint)) END "
    "RETURNING credits";

// bytea values travel as hex text: "\\x0a1b...".
std::string ByteaText(std::string_view bytes) { return "\\x" + fileutil::LowerHex(bytes); }

bool ParseBytea(std::string_view text, std::string* bytes) {
  return text.substr(0, 2) == "\\x" && fileutil::ParseHex(text.substr(2), bytes);
}

std::uint32_t Clamped(std::int64_t credits) {
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(credits, 0, UINT32_MAX));
}

bool ParseCredits(const platform::PgConnection::Value& text, std::uint32_t* credits) {
  std::uint32_t value = 0;
  if (!text) return false;
  const char* end = text->data() + text->size();
  const auto [stop, failure] = std::from_chars(text->data(), end, value);
  if (failure != std::errc() || stop != end) return false;
  *credits = value;
  return true;
}

}  // namespace

SharedRecords::Row SharedRecords::ToRow(const AccountRecord& record) {
  Row row;
  AccountRecord body = record;
  body.mCurrentCredits = 0;
  row.body = AccountStore::SerialiseRecord(body);
  fileutil::Ipv6ListFile ipv6;
  ipv6.Add(record.Name(), fileutil::Ipv6ListFile::List::kSafe, record.mSafeIPs);
  ipv6.Add(record.Name(), fileutil::Ipv6ListFile::List::kBlocked, record.mBlockIPs);
  if (ipv6.HasEntries()) row.ipv6 = ipv6.Text(record.Name());
  row.credits = record.mCurrentCredits;
  return row;
}

bool SharedRecords::FromRow(const Row& row, AccountRecord* record) {
  std::size_t used = 0;
  if (!AccountStore::ParseRecord(row.body, record, &used) || used != row.body.size()) return false;
  std::vector<std::string> unread;
  fileutil::Ipv6ListFile::Parse(
      row.ipv6,
      [record](std::string_view owner, fileutil::Ipv6ListFile::List list, const runtime::IpRange& range) {
        if (!record->MatchName(owner)) return false;
        (list == fileutil::Ipv6ListFile::List::kSafe ? record->mSafeIPs : record->mBlockIPs)
            .AddRange(range.first, range.last);
        return true;
      },
      &unread);
  record->mCurrentCredits = row.credits;
  return true;
}

bool SharedRecords::ParseColumns(const platform::PgConnection::Row& columns, std::size_t first, Row* row) {
  return columns.size() >= first + 3 && columns[first] &&
         ParseBytea(*columns[first], &row->body) && columns[first + 1] &&
         (row->ipv6 = *columns[first + 1], true) && ParseCredits(columns[first + 2], &row->credits);
}

void SharedRecords::MergeLocked(AccountStore& store, const std::string& key, const std::string& name,
                                const std::optional<Row>& row) {
  const auto known = known_.find(key);
  const std::optional<std::uint32_t> last_credits =
      known == known_.end() ? std::nullopt : std::optional(known->second.row.credits);
  AccountRecord incoming;
  if (row && !FromRow(*row, &incoming)) return;  // a row no server wrote: left alone
  store.Merge(row ? incoming.Name() : name, [&](const AccountRecord* current) -> std::optional<AccountRecord> {
    // A record made here and not yet written stays when the database has none.
    if (!row) return last_credits || current == nullptr ? std::nullopt : std::optional(*current);
    if (current != nullptr && last_credits)
      incoming.mCurrentCredits = Clamped(std::int64_t{row->credits} + current->mCurrentCredits - *last_credits);
    return incoming;
  });
  if (row && last_credits && row->credits != *last_credits)
    shifts_.emplace_back(incoming.Name(), std::int64_t{row->credits} - *last_credits);
  if (row) {
    known_[key] = Known{incoming.Name(), *row};
  } else if (known != known_.end()) {
    known_.erase(known);
  }
}

void SharedRecords::DeliverShifts() {
  std::vector<std::pair<std::string, std::int64_t>> shifts;
  {
    Guard guard(lock_);
    shifts.swap(shifts_);
  }
  if (credit_listener_)
    for (const auto& [name, shift] : shifts) credit_listener_(name, shift);
}

bool SharedRecords::LoadInto(AccountStore& store, std::string* error) {
  const bool loaded = LoadLocked(store, error);
  DeliverShifts();
  return loaded;
}

bool SharedRecords::LoadLocked(AccountStore& store, std::string* error) {
  std::vector<platform::PgConnection::Row> rows;
  const std::string kind(1, kind_);
  Guard guard(lock_);
  if (!database_.Run(
          [&](platform::PgConnection& db, std::string* failed) {
            return db.Exec("SELECT key, record, ipv6, credits FROM quillon_records WHERE kind = $1", {kind},
                           &rows, failed);
          },
          error))
    return false;
  std::set<std::string> seen;
  for (const platform::PgConnection::Row& columns : rows) {
    Row row;
    if (!columns[0] || !ParseColumns(columns, 1, &row)) continue;
    seen.insert(*columns[0]);
    MergeLocked(store, *columns[0], "", row);
  }
  std::vector<std::pair<std::string, std::string>> gone;
  for (const auto& [key, known] : known_)
    if (seen.count(key) == 0) gone.emplace_back(key, known.name);
  for (const auto& [key, name] : gone) MergeLocked(store, key, name, std::nullopt);
  return true;
}

bool SharedRecords::Refresh(AccountStore& store, const std::string& key, std::string* error) {
  const bool read = RefreshLocked(store, key, error);
  DeliverShifts();
  return read;
}

bool SharedRecords::RefreshLocked(AccountStore& store, const std::string& key, std::string* error) {
  std::vector<platform::PgConnection::Row> rows;
  Guard guard(lock_);
  if (!database_.Run(
          [&](platform::PgConnection& db, std::string* failed) {
            return db.Exec("SELECT record, ipv6, credits FROM quillon_records WHERE kind = $1 AND key = $2",
                           {std::string(1, kind_), key}, &rows, failed);
          },
          error))
    return false;
  Row row;
  if (!rows.empty() && ParseColumns(rows[0], 0, &row)) {
    MergeLocked(store, key, "", row);
  } else if (const auto known = known_.find(key); rows.empty() && known != known_.end()) {
    MergeLocked(store, key, known->second.name, std::nullopt);
  }
  return true;
}

bool SharedRecords::SaveFrom(AccountStore& store, std::string* error) {
  const bool saved = SaveLocked(store, error);
  DeliverShifts();
  return saved;
}

bool SharedRecords::SaveLocked(AccountStore& store, std::string* error) {
  struct Write {
    std::string key;
    std::string name;
    Row row;
    std::int64_t delta = 0;  // the balance change since last read or written
    bool is_new = false;     // not known here: written whole
    std::uint32_t result = 0;
  };
  Guard guard(lock_);
  const std::vector<AccountRecord> records = store.CopyAll();
  std::vector<Write> writes;
  std::set<std::string> present;
  for (const AccountRecord& record : records) {
    Write write{SharedDatabase::KeyOf(record.Name()), record.Name(), ToRow(record)};
    present.insert(write.key);
    const auto known = known_.find(write.key);
    if (known == known_.end()) {
      write.is_new = true;
    } else {
      const Row& last = known->second.row;
      write.delta = std::int64_t{write.row.credits} - last.credits;
      if (write.delta == 0 && last.body == write.row.body && last.ipv6 == write.row.ipv6 &&
          known->second.name == write.name)
        continue;
    }
    writes.push_back(std::move(write));
  }
  std::vector<std::string> removed;
  for (const auto& [key, known] : known_)
    if (present.count(key) == 0) removed.push_back(key);
  if (writes.empty() && removed.empty()) return true;

  const std::string kind(1, kind_);
  const std::string notice = database_.ServerId() + " " + kind + " ";
  const bool saved = database_.Run(
      [&](platform::PgConnection& db, std::string* failed) {
        if (!db.ExecScript("BEGIN", failed)) return false;
        bool ok = true;
        for (Write& write : writes) {
          std::vector<platform::PgConnection::Row> rows;
          ok = db.Exec(kUpsert,
                       {kind, write.key, ByteaText(write.row.body), write.row.ipv6,
                        std::to_string(write.row.credits), std::to_string(write.delta), write.is_new ? "t" : "f"},
                       &rows, failed) &&
               !rows.empty() && ParseCredits(rows[0][0], &write.result) &&
               db.Exec("SELECT pg_notify($1, $2)", {SharedDatabase::kRecordsChannel, notice + write.key}, nullptr,
                       failed);
          if (!ok) break;
        }
        for (std::size_t i = 0; ok && i < removed.size(); ++i) {
          ok = db.Exec("DELETE FROM quillon_records WHERE kind = $1 AND key = $2", {kind, removed[i]}, nullptr,
                       failed) &&
               db.Exec("SELECT pg_notify($1, $2)", {SharedDatabase::kRecordsChannel, notice + removed[i]}, nullptr,
                       failed);
        }
        if (ok && db.ExecScript("COMMIT", failed)) return true;
        std::string ignored;
        [[maybe_unused]] const bool rolled_back = db.ExecScript("ROLLBACK", &ignored);
        if (failed->empty()) *failed = "a balance read back from the database is not a number";
        return false;
      },
      error);
  if (!saved) return false;
  for (const Write& write : writes) {
    // What the database added beyond this change, another server's.
    if (!write.is_new && write.result != known_[write.key].row.credits + write.delta)
      shifts_.emplace_back(write.name, std::int64_t{write.result} - known_[write.key].row.credits - write.delta);
    Row row = write.row;
    row.credits = write.result;
    known_[write.key] = Known{write.name, row};
    // The balance is now the database's, with what changed here since the copy on top.
    const std::uint32_t copied = write.row.credits;
    store.Merge(write.name, [&](const AccountRecord* current) -> std::optional<AccountRecord> {
      if (current == nullptr) return std::nullopt;
      AccountRecord kept = *current;
      kept.mCurrentCredits = Clamped(std::int64_t{write.result} + current->mCurrentCredits - copied);
      return kept;
    });
  }
  for (const std::string& key : removed) known_.erase(key);
  return true;
}

bool SharedRecords::ReplaceAll(const std::vector<AccountRecord>& records, std::string* error) {
  const std::string kind(1, kind_);
  const std::string notice = database_.ServerId() + " " + kind + " ";
  Guard guard(lock_);
  const bool replaced = database_.Run(
      [&](platform::PgConnection& db, std::string* failed) {
        std::vector<platform::PgConnection::Row> gone;
        bool ok = db.ExecScript("BEGIN", failed) &&
                  db.Exec("DELETE FROM quillon_records WHERE kind = $1 RETURNING key", {kind}, &gone, failed);
        std::set<std::string> keys;
        for (std::size_t i = 0; ok && i < records.size(); ++i) {
          const Row row = ToRow(records[i]);
          const std::string key = SharedDatabase::KeyOf(records[i].Name());
          keys.insert(key);
          ok = db.Exec(kUpsert,
                       {kind, key, ByteaText(row.body), row.ipv6, std::to_string(row.credits),
                        "0", "t"},
                       nullptr, failed);
        }
        for (const platform::PgConnection::Row& row : gone)
          if (row[0]) keys.insert(*row[0]);
        for (auto key = keys.begin(); ok && key != keys.end(); ++key)
          ok = db.Exec("SELECT pg_notify($1, $2)", {SharedDatabase::kRecordsChannel, notice + *key}, nullptr, failed);
        if (ok && db.ExecScript("COMMIT", failed)) return true;
        std::string ignored;
        [[maybe_unused]] const bool rolled_back = db.ExecScript("ROLLBACK", &ignored);
        return false;
      },
      error);
  if (replaced) known_.clear();
  return replaced;
}

}  // namespace quillon::cluster
