// A list of accounts (or groups) kept sorted by name, guarded by one lock,
// loaded from and saved to one binary file.
//
// File layout (integers little-endian): u32 version 1, u32 record count,
// 24 reserved bytes, then the records; each record takes
// 1407 + 832 × folders + 8 × (safe ranges + blocked ranges) bytes. Passwords
// are stored scrambled; one-way hashes as they are, in the same field.
// The IPv6 entries of the safe and blocked lists live beside the file, in
// "<name>-ipv6.txt" (fileutil::Ipv6ListFile), read and written with it.
//
// Sort order: names compared byte by byte, case-sensitively (upper case
// first); look-ups by name ignore A-Z case.
//
// A file that loads with damage (fewer records than its header announces,
// bytes after the announced records, or a header that cannot be read) has
// its original bytes kept aside before anything is saved over it (see
// fileutil::DamagedFileGuard); Damage() tells what the last load found.
//
// Thread-safety: every operation holds the store's lock, except GetAt, which
// callers use only while they hold Lock().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/account_record.h"
#include "accounts/store_backend.h"
#include "platform/clock.h"
#include "runtime/critical_section.h"
#include "fileutil/damaged_file_guard.h"
#include "fileutil/file_writer.h"

namespace quillon::accounts {

class AccountStore {
 public:
  static constexpr std::uint32_t kVersion = 1;
  static constexpr std::size_t kHeaderBytes = 32;
  static constexpr std::size_t kFixedRecordBytes = 1407;
  static constexpr std::size_t kFolderBytes = 832;

  // `writer` (may be null: a plain FileWriter) replaces the file at each save
  // and writes the copy of a damaged file; `clock` (may be null: the system
  // clock) dates that copy.
  explicit AccountStore(std::string path, fileutil::FileWriter* writer = nullptr,
                        platform::Clock* clock = nullptr);
  AccountStore(const AccountStore&) = delete;
  AccountStore& operator=(const AccountStore&) = delete;

  // Keeps the records in `backend` (null: the file) from the next Load or
  // Save on. REQUIRES: no other thread uses the store meanwhile.
  void SetBackend(StoreBackend* backend) { backend_ = backend; }
  // Why the last Load or Save through the backend failed.
  std::string BackendError() const;

  // Empties the list and reads the file (or has the backend fill it). A
  // missing file gives an empty store and true. False (store empty) when the
  // file cannot be read or has another version. A damaged record ends the
  // load; the records before it stay. A damaged file (a header that cannot
  // be read included) is copied aside.
  [[nodiscard]] bool Load();
  // Replaces the file whole (owner-only); false leaves the old file as it was.
  // Also false, writing nothing, while the last load found the file damaged
  // and its copy cannot be written, or found the IPv6 companion file there
  // but unreadable.
  [[nodiscard]] bool Save();
  // What the last load found wrong with the file; none when it was sound.
  std::optional<fileutil::DamageReport> Damage() const { return damage_.Report(); }

  // Stores a copy under its name, replacing a record of that name (any case).
  bool AddOrUpdate(const AccountRecord& record);
  void Delete(std::string_view name);
  [[nodiscard]] bool GetCopy(std::string_view name, AccountRecord* out) const;
  // Copies the first record that accepts this login. With
  // PasswordForm::kStored, `password` is a stored field to match exactly.
  enum class PasswordForm { kTyped, kStored };
  [[nodiscard]] bool FindLogin(std::string_view name, std::string_view password,
                               AccountRecord* out, PasswordForm form = PasswordForm::kTyped) const;
  bool Exists(std::string_view name) const;
  // Sets the credit balance of the named record; false when there is none.
  bool SetCredits(std::string_view name, std::uint32_t credits);
  // Adds `delta` (negative: takes) to the named record's balance, which
  // stays within 0 and 4294967295; false when there is no such record.
  bool AddCredits(std::string_view name, std::int64_t delta);
  // Under the store's lock, hands `merge` the record of that name (null when
  // there is none) and keeps what it returns in its place (nullopt: none).
  using Merger = std::function<std::optional<AccountRecord>(const AccountRecord* current)>;
  void Merge(std::string_view name, const Merger& merge);
  // Replaces every record (an import).
  void ReplaceAll(std::vector<AccountRecord> records);
  // Copies of every record, in list order.
  std::vector<AccountRecord> CopyAll() const;
  std::size_t Count() const;
  void Clear();

  // For editors that walk the list. REQUIRES: Lock() held.
  runtime::CriticalSection& Lock() const { return lock_; }
  AccountRecord& GetAt(std::size_t index) { return *records_[index]; }

  // The stored form of one record, and back. ParseRecord fails on a short
  // buffer or another record version; *used tells the bytes it took.
  static std::string SerialiseRecord(const AccountRecord& record);
  static void AppendRecord(const AccountRecord& record, std::string* out);
  static std::size_t RecordBytes(const AccountRecord& record);
  [[nodiscard]] static bool ParseRecord(std::string_view bytes, AccountRecord* record,
                                        std::size_t* used);
  // The whole file's bytes. REQUIRES: Lock() held or no other user.
  std::string Serialise() const;

 private:
  // Runs a load or a save of the backend and keeps its error text.
  bool ThroughBackend(bool (StoreBackend::*step)(AccountStore&, std::string*));
  // Adds the IPv6 list entries kept beside the file to the loaded records.
  void LoadIpv6EntriesLocked();
  // Inserts after every record whose name is not greater.
  void InsertSortedLocked(std::unique_ptr<AccountRecord> record);
  std::size_t FindLocked(std::string_view name) const;

  const std::string path_;
  StoreBackend* backend_ = nullptr;
  mutable runtime::CriticalSection backend_error_lock_;
  std::string backend_error_;  // guarded by backend_error_lock_
  fileutil::FileWriter default_writer_;
  fileutil::FileWriter* writer_;
  platform::SystemClock system_clock_;
  fileutil::DamagedFileGuard damage_;
  fileutil::OrderedSave save_order_;
  fileutil::OrderedSave ipv6_save_order_;
  bool ipv6_readable_ = true;                 // guarded by lock_: the companion file read (or absent)
  std::vector<std::string> ipv6_unread_;      // guarded by lock_: its lines the load set aside
  mutable runtime::CriticalSection lock_;
  std::vector<std::unique_ptr<AccountRecord>> records_;  // guarded by lock_
};

}  // namespace quillon::accounts
