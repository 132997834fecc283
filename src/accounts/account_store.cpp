#include "accounts/account_store.h"

#include <algorithm>

#include "fileutil/bytes.h"
#include "fileutil/file_handle.h"
#include "fileutil/ipv6_list_file.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"

namespace quillon::accounts {

namespace {

constexpr std::size_t kPasswordBytes = AccountRecord::kPasswordCapacity;
constexpr char kScrambledMark = '<';
// A store of this size is far beyond any real server; refuse to read more.
constexpr std::uint64_t kMaxFileBytes = 1ull << 31;

// "<" + password, zero padded, last byte zero; bytes 2-100 complemented.
// A one-way hash ("$...") is written as it is, zero padded: reading takes a
// field without the mark as plain text.
void WritePassword(fileutil::ByteWriter& writer, const std::string& password) {
  std::string field(kPasswordBytes, '\0');
  if (AccountRecord::IsPasswordHash(password)) {
    password.copy(field.data(), std::min(password.size(), kPasswordBytes - 1));
  } else if (!password.empty()) {
    field[0] = kScrambledMark;
    const std::size_t n = std::min(password.size(), kPasswordBytes - 2);
    password.copy(&field[1], n);
    for (std::size_t i = 1; i < kPasswordBytes; ++i) field[i] = static_cast<char>(~field[i]);
  }
  writer.Bytes(field);
}

bool ReadPassword(fileutil::ByteReader& reader, std::string* password) {
  std::string_view field;
  if (!reader.Bytes(kPasswordBytes, &field)) return false;
  std::string plain(kPasswordBytes, '\0');
  if (field[0] == kScrambledMark) {
    for (std::size_t i = 1; i < kPasswordBytes; ++i) plain[i - 1] = static_cast<char>(~field[i]);
    plain[kPasswordBytes - 1] = '\0';
  } else {
    field.copy(plain.data(), kPasswordBytes - 1);
  }
  password->assign(plain.c_str());
  return true;
}

bool ReadFlag(fileutil::ByteReader& reader, bool* flag) {
  std::uint8_t value = 0;
  if (!reader.U8(&value)) return false;
  *flag = value != 0;
  return true;
}

bool ReadSigned(fileutil::ByteReader& reader, std::int32_t* value) {
  std::uint32_t raw = 0;
  if (!reader.U32(&raw)) return false;
  *value = static_cast<std::int32_t>(raw);
  return true;
}

void WriteFolder(fileutil::ByteWriter& w, const VirtualFolder& folder) {
  w.Text(folder.Name(), VirtualFolder::kNameCapacity);
  w.Text(folder.Path(), VirtualFolder::kPathCapacity);
  w.Zeros(2);
  w.U32(folder.mRights);
  w.U8(folder.mVisible);
  w.U8(folder.mCountsTowardsSize);
  w.U8(folder.mUseMaxSize);
  w.Zeros(1);
  w.U32(folder.mMaxSize);
  w.U32(folder.NameLength());
  w.U8(folder.mCreditsExempt);
  w.Zeros(296 + 3);
}

bool ReadFolder(fileutil::ByteReader& r, VirtualFolder* folder) {
  std::string name, path;
  std::uint32_t stored_length = 0;
  if (!r.Text(VirtualFolder::kNameCapacity, &name) || !r.Text(VirtualFolder::kPathCapacity, &path) ||
      !r.Skip(2) || !r.U32(&folder->mRights) || !ReadFlag(r, &folder->mVisible) ||
      !ReadFlag(r, &folder->mCountsTowardsSize) || !ReadFlag(r, &folder->mUseMaxSize) ||
      !r.Skip(1) || !r.U32(&folder->mMaxSize) || !r.U32(&stored_length) ||
      !ReadFlag(r, &folder->mCreditsExempt) || !r.Skip(296 + 3))
    return false;
  folder->SetName(name);  // the name length is recomputed, never trusted
  folder->SetPath(path);
  return true;
}

}  // namespace

AccountStore::AccountStore(std::string path, fileutil::FileWriter* writer, platform::Clock* clock)
    : path_(std::move(path)),
      writer_(writer != nullptr ? writer : &default_writer_),
      damage_(path_, *writer_, clock != nullptr ? *clock : system_clock_) {}

std::size_t AccountStore::RecordBytes(const AccountRecord& r) {
  // Only the IPv4 ranges are in the record (see Ipv6ListFile).
  return kFixedRecordBytes + kFolderBytes * r.FolderCount() + r.mSafeIPs.Serialise().size() +
         r.mBlockIPs.Serialise().size();
}

std::string AccountStore::SerialiseRecord(const AccountRecord& r) {
  std::string out;
  out.reserve(RecordBytes(r));
  AppendRecord(r, &out);
  return out;
}

void AccountStore::AppendRecord(const AccountRecord& r, std::string* out) {
  const std::string safe = r.mSafeIPs.Serialise();
  const std::string blocked = r.mBlockIPs.Serialise();
  fileutil::ByteWriter w(out);
  w.U32(1);
  w.U32(static_cast<std::uint32_t>(r.FolderCount()));
  w.U32(static_cast<std::uint32_t>(safe.size()));
  w.U32(static_cast<std::uint32_t>(blocked.size()));
  w.Zeros(24);
  w.U8(r.mEnabled);
  w.Text(r.Name(), AccountRecord::kNameCapacity);
  WritePassword(w, r.Password());
  w.U8(r.mInGroup);
  w.Text(r.Group(), AccountRecord::kGroupCapacity);
  w.U32(r.mRights);
  w.U8(r.mAlwaysAllowLogin);
  w.U8(r.mAllowPassChange);
  w.U8(r.mUseRootFolder);
  w.Text(r.RootFolder(), AccountRecord::kFolderCapacity);
  for (const VirtualFolder& folder : r.VirtualFolders()) WriteFolder(w, folder);
  w.U8(r.mUseStartDir);
  w.Text(r.StartDir(), AccountRecord::kFolderCapacity);
  w.U8(r.mUseMaxSize);
  w.U32(r.mMaxSize);
  w.U8(r.mUseMaxUploadSpeed);
  w.U32(r.mMaxUploadSpeed);
  w.U8(r.mUseMaxDownloadSpeed);
  w.U32(r.mMaxDownloadSpeed);
  w.U8(r.mUseMaxUsers);
  w.U32(r.mMaxUsers);
  w.U8(r.mUseCredits);
  w.U32(static_cast<std::uint32_t>(r.mUploadCredits));
  w.U32(static_cast<std::uint32_t>(r.mDownloadCredits));
  w.U32(r.mCurrentCredits);
  w.U8(r.mUseSafeIPs);
  w.Bytes(safe);
  w.U8(r.mUseBlockIPs);
  w.Bytes(blocked);
  w.U8(r.mUseLogs);
  w.Zeros(499);
}

bool AccountStore::ParseRecord(std::string_view bytes, AccountRecord* record, std::size_t* used) {
  record->Reset();
  AccountRecord& r = *record;
  fileutil::ByteReader reader(bytes);
  std::uint32_t version = 0, folders = 0, safe_bytes = 0, blocked_bytes = 0;
  if (!reader.U32(&version) || version != 1 || !reader.U32(&folders) ||
      !reader.U32(&safe_bytes) || !reader.U32(&blocked_bytes) || !reader.Skip(24))
    return false;
  // Announced sizes must fit what is left before anything is allocated.
  const std::uint64_t needed = kFixedRecordBytes - 40 + std::uint64_t{kFolderBytes} * folders +
                               safe_bytes + blocked_bytes;
  if (needed > reader.Left()) return false;

  std::string text;
  std::string_view data;
  bool ok = ReadFlag(reader, &r.mEnabled) && reader.Text(AccountRecord::kNameCapacity, &text);
  r.SetName(text);
  ok = ok && ReadPassword(reader, &text);
  r.SetPassword(ok ? text : std::string());
  ok = ok && ReadFlag(reader, &r.mInGroup) && reader.Text(AccountRecord::kGroupCapacity, &text);
  r.SetGroup(text);
  ok = ok && reader.U32(&r.mRights) && ReadFlag(reader, &r.mAlwaysAllowLogin) &&
       ReadFlag(reader, &r.mAllowPassChange) && ReadFlag(reader, &r.mUseRootFolder) &&
       reader.Text(AccountRecord::kFolderCapacity, &text);
  r.SetRootFolder(text);
  for (std::uint32_t i = 0; ok && i < folders; ++i) {
    VirtualFolder folder;
    ok = ReadFolder(reader, &folder);
    if (ok) r.AppendFolder(folder);
  }
  ok = ok && ReadFlag(reader, &r.mUseStartDir) && reader.Text(AccountRecord::kFolderCapacity, &text);
  r.SetStartDir(text);
  ok = ok && ReadFlag(reader, &r.mUseMaxSize) && reader.U32(&r.mMaxSize) &&
       ReadFlag(reader, &r.mUseMaxUploadSpeed) && reader.U32(&r.mMaxUploadSpeed) &&
       ReadFlag(reader, &r.mUseMaxDownloadSpeed) && reader.U32(&r.mMaxDownloadSpeed) &&
       ReadFlag(reader, &r.mUseMaxUsers) && reader.U32(&r.mMaxUsers) &&
       ReadFlag(reader, &r.mUseCredits) && ReadSigned(reader, &r.mUploadCredits) &&
       ReadSigned(reader, &r.mDownloadCredits) && reader.U32(&r.mCurrentCredits) &&
       ReadFlag(reader, &r.mUseSafeIPs) && reader.Bytes(safe_bytes, &data);
  if (ok) r.mSafeIPs.LoadBytes(data.data(), data.size());
  ok = ok && ReadFlag(reader, &r.mUseBlockIPs) && reader.Bytes(blocked_bytes, &data);
  if (ok) r.mBlockIPs.LoadBytes(data.data(), data.size());
  ok = ok && ReadFlag(reader, &r.mUseLogs) && reader.Skip(499);
  if (!ok) {
    r.Reset();
    return false;
  }
  *used = reader.Position();
  return true;
}

std::string AccountStore::Serialise() const {
  std::size_t total = kHeaderBytes;
  for (const auto& record : records_) total += RecordBytes(*record);
  std::string out;
  out.reserve(total);
  fileutil::ByteWriter w(&out);
  w.U32(kVersion);
  w.U32(static_cast<std::uint32_t>(records_.size()));
  w.Zeros(24);
  for (const auto& record : records_) AppendRecord(*record, &out);
  return out;
}

std::string AccountStore::BackendError() const {
  runtime::CriticalSection::Guard guard(backend_error_lock_);
  return backend_error_;
}

bool AccountStore::ThroughBackend(bool (StoreBackend::*step)(AccountStore&, std::string*)) {
  std::string error;
  const bool done = (backend_->*step)(*this, &error);
  runtime::CriticalSection::Guard guard(backend_error_lock_);
  backend_error_ = error;
  return done;
}

bool AccountStore::Load() {
  if (backend_ != nullptr) return ThroughBackend(&StoreBackend::LoadInto);
  runtime::CriticalSection::Guard guard(lock_);
  records_.clear();
  damage_.Clear();
  ipv6_readable_ = true;
  ipv6_unread_.clear();
  if (!fileutil::FileExists(path_)) return true;
  std::string bytes;
  if (!fileutil::ReadWholeFile(path_, kMaxFileBytes, &bytes, platform::Links::kRefuse)) return false;

  fileutil::ByteReader header(bytes);
  std::uint32_t version = 0, count = 0;
  if (!header.U32(&version) || version != kVersion || !header.U32(&count) || !header.Skip(24)) {
    damage_.Found(bytes, bytes.size() < kHeaderBytes
                             ? std::string("the header is cut short, no records read")
                             : fileutil::FormatText("version %u instead of %u, no records read",
                                               version, kVersion));
    return false;
  }
  std::string_view rest = std::string_view(bytes).substr(kHeaderBytes);
  std::uint32_t read = 0;
  for (; read < count; ++read) {
    auto record = std::make_unique<AccountRecord>();
    std::size_t used = 0;
    if (!ParseRecord(rest, record.get(), &used)) break;  // keep what came before
    rest.remove_prefix(used);
    InsertSortedLocked(std::move(record));
  }
  LoadIpv6EntriesLocked();
  if (read < count) {
    damage_.Found(bytes, fileutil::FormatText("%u of %u records read", read, count));
  } else if (!rest.empty()) {
    damage_.Found(bytes, fileutil::FormatText("%u of %u records read, %zu bytes left over", read, count,
                                         rest.size()));
  }
  return true;
}

bool AccountStore::Save() {
  if (backend_ != nullptr) return ThroughBackend(&StoreBackend::SaveFrom);
  // The copy of a damaged file is written before anything replaces it.
  if (!damage_.SaveAllowed()) return false;
  std::string bytes;
  fileutil::Ipv6ListFile ipv6;
  std::uint64_t ticket, ipv6_ticket;
  {
    runtime::CriticalSection::Guard guard(lock_);
    // A companion file there but unreadable is never written over.
    if (!ipv6_readable_) return false;
    bytes = Serialise();
    ipv6.KeepUnread(ipv6_unread_);
    for (const auto& record : records_) {
      ipv6.Add(record->Name(), fileutil::Ipv6ListFile::List::kSafe, record->mSafeIPs);
      ipv6.Add(record->Name(), fileutil::Ipv6ListFile::List::kBlocked, record->mBlockIPs);
    }
    ticket = save_order_.Ticket();
    ipv6_ticket = ipv6_save_order_.Ticket();
  }
  // Written without the store lock: logins read the store meanwhile. Saves
  // still land in the order their contents were taken.
  if (!save_order_.Write(ticket, *writer_, path_, bytes, fileutil::FileHandle::kOwnerOnlyFile)) return false;
  return ipv6.Write(fileutil::Ipv6ListFile::PathFor(path_), fileutil::FileNamePart(path_), *writer_,
                    &ipv6_save_order_, ipv6_ticket);
}

void AccountStore::LoadIpv6EntriesLocked() {
  using fileutil::Ipv6ListFile;
  ipv6_readable_ = Ipv6ListFile::Read(
      Ipv6ListFile::PathFor(path_),
      [this](std::string_view owner, Ipv6ListFile::List list, const runtime::IpRange& range) {
        const std::size_t at = FindLocked(owner);
        if (at == records_.size()) return false;  // no such record: set aside
        AccountRecord& record = *records_[at];
        (list == Ipv6ListFile::List::kSafe ? record.mSafeIPs : record.mBlockIPs).AddRange(range.first, range.last);
        return true;
      },
      &ipv6_unread_);
}

void AccountStore::InsertSortedLocked(std::unique_ptr<AccountRecord> record) {
  // Byte order, case-sensitive: std::string compares bytes as unsigned.
  auto at = std::upper_bound(records_.begin(), records_.end(), record->SortName(),
                             [](const std::string& name, const std::unique_ptr<AccountRecord>& r) {
                               return name < r->SortName();
                             });
  records_.insert(at, std::move(record));
}

std::size_t AccountStore::FindLocked(std::string_view name) const {
  for (std::size_t i = 0; i < records_.size(); ++i)
    if (records_[i]->MatchName(name)) return i;
  return records_.size();
}

bool AccountStore::AddOrUpdate(const AccountRecord& record) {
  runtime::CriticalSection::Guard guard(lock_);
  const std::size_t at = FindLocked(record.Name());
  std::unique_ptr<AccountRecord> stored;
  if (at < records_.size()) {
    stored = std::move(records_[at]);
    records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(at));
    *stored = record;
  } else {
    stored = std::make_unique<AccountRecord>(record);
  }
  InsertSortedLocked(std::move(stored));
  return true;
}

void AccountStore::Delete(std::string_view name) {
  runtime::CriticalSection::Guard guard(lock_);
  const std::size_t at = FindLocked(name);
  if (at < records_.size()) records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(at));
}

bool AccountStore::GetCopy(std::string_view name, AccountRecord* out) const {
  runtime::CriticalSection::Guard guard(lock_);
  const std::size_t at = FindLocked(name);
  if (at == records_.size()) return false;
  *out = *records_[at];
  return true;
}

bool AccountStore::FindLogin(std::string_view name, std::string_view password,
                             AccountRecord* out, PasswordForm form) const {
  // Records of that name are copied under the lock and checked after it: a
  // hash check takes milliseconds, and other logins must not queue behind it.
  std::vector<AccountRecord> named;
  {
    runtime::CriticalSection::Guard guard(lock_);
    for (const auto& record : records_)
      if (record->MatchName(name)) named.push_back(*record);
  }
  for (AccountRecord& record : named) {
    const bool match = form == PasswordForm::kStored ? record.MatchStoredPassword(name, password)
                                                     : record.MatchLogin(name, password);
    if (match) {
      *out = std::move(record);
      return true;
    }
  }
  return false;
}

bool AccountStore::Exists(std::string_view name) const {
  runtime::CriticalSection::Guard guard(lock_);
  return FindLocked(name) < records_.size();
}

bool AccountStore::SetCredits(std::string_view name, std::uint32_t credits) {
  runtime::CriticalSection::Guard guard(lock_);
  const std::size_t at = FindLocked(name);
  if (at == records_.size()) return false;
  records_[at]->mCurrentCredits = credits;
  return true;
}

bool AccountStore::AddCredits(std::string_view name, std::int64_t delta) {
  runtime::CriticalSection::Guard guard(lock_);
  const std::size_t at = FindLocked(name);
  if (at == records_.size()) return false;
  const std::int64_t sum = static_cast<std::int64_t>(records_[at]->mCurrentCredits) + delta;
  records_[at]->mCurrentCredits = static_cast<std::uint32_t>(std::clamp<std::int64_t>(sum, 0, UINT32_MAX));
  return true;
}

void AccountStore::Merge(std::string_view name, const Merger& merge) {
  runtime::CriticalSection::Guard guard(lock_);
  const std::size_t at = FindLocked(name);
  std::optional<AccountRecord> kept = merge(at == records_.size() ? nullptr : records_[at].get());
  if (at != records_.size()) records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(at));
  if (kept) InsertSortedLocked(std::make_unique<AccountRecord>(std::move(*kept)));
}

void AccountStore::ReplaceAll(std::vector<AccountRecord> records) {
  runtime::CriticalSection::Guard guard(lock_);
  records_.clear();
  for (AccountRecord& record : records) InsertSortedLocked(std::make_unique<AccountRecord>(std::move(record)));
}

std::vector<AccountRecord> AccountStore::CopyAll() const {
  runtime::CriticalSection::Guard guard(lock_);
  std::vector<AccountRecord> copies;
  copies.reserve(records_.size());
  for (const auto& record : records_) copies.push_back(*record);
  return copies;
}

std::size_t AccountStore::Count() const {
  runtime::CriticalSection::Guard guard(lock_);
  return records_.size();
}

void AccountStore::Clear() {
  runtime::CriticalSection::Guard guard(lock_);
  records_.clear();
}

}  // namespace quillon::accounts
