#include "accountfs/account_file_system.h"

#include <algorithm>
#include <limits>

#include "accountfs/file_transfer.h"
#include "accountfs/messages.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"
#include "fileutil/trash.h"

namespace quillon::accountfs {

namespace {

using accounts::AccessRights;
using Guard = runtime::CriticalSection::Guard;

bool Fail(std::string* message, const char* text) {
  *message = text;
  return false;
}

FileTransfer* Refuse(std::string* message, const char* text) {
  *message = text;
  return nullptr;
}

std::string WithoutTrailingSlash(std::string_view path) {
  std::string out(path);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// The parent folder of a disk path (for a file directly below "/", "/").
std::string ParentOf(const std::string& disk_path) {
  std::string parent;
  if (!fileutil::ParentFolder(disk_path, &parent, 4096)) parent = "/";
  return parent;
}

}  // namespace

AccountFileSystem::AccountFileSystem(accounts::EffectiveRecord record, fileutil::FolderSizeCache& cache,
                                     platform::Clock& clock)
    : cache_(cache), quota_(cache), clock_(clock), record_(std::move(record)) {
  record_.SortVirtualFolders();
}

AccountFileSystem::~AccountFileSystem() {
  Guard guard(lock_);
  transfers_.clear();
}

accounts::EffectiveRecord AccountFileSystem::RecordCopy() const {
  Guard guard(lock_);
  return record_;
}

void AccountFileSystem::SetServerRules(std::optional<fileutil::BannedTypes> banned, bool delete_to_trash,
                                       fileutil::TrashRules trash) {
  Guard guard(lock_);
  banned_ = std::move(banned);
  delete_to_trash_ = delete_to_trash;
  trash_rules_ = std::move(trash);
}

MappedPath AccountFileSystem::MapPath(std::string_view ftp_path) const {
  Guard guard(lock_);
  std::string full;
  if (ftp_path.empty() || ftp_path.front() != '/') full = "/";
  MappedPath mapped;
  // The same capacity as the session's paths: a path that does not fit maps
  // nowhere rather than to a shorter neighbour.
  if (!fileutil::AppendText(&full, ftp_path, fileutil::kDiskPathCapacity)) return mapped;
  mapped.ftp_path = fileutil::NormalisePath(full);
  const std::string& path = mapped.ftp_path;
  // So must the disk path: one the system cannot take maps nowhere.
  auto fits = [](const std::string& disk_path) {
    return disk_path.size() < fileutil::kDiskPathCapacity;
  };

  if (!path.empty()) {
    for (std::size_t i = 0; i < record_.FolderCount(); ++i) {
      const accounts::VirtualFolder& folder = record_.FolderAt(i);
      const std::string& name = folder.Name();
      if (name.size() > path.size() || !fileutil::StartsWithNoCase(path, name)) continue;
      if (path.size() != name.size() && path[name.size()] != '/') continue;
      std::string base = WithoutTrailingSlash(folder.Path());
      if (base == "/") base.clear();
      mapped.disk_path = base + path.substr(name.size());
      if (mapped.disk_path.empty()) mapped.disk_path = "/";
      if (fits(mapped.disk_path) && fileutil::StaysWithin(folder.Path(), mapped.disk_path))
        mapped.area = static_cast<int>(i);
      return mapped;
    }
  }
  if (!record_.mUseRootFolder) {
    mapped.area = kUnreachableArea;
    return mapped;
  }
  std::string root = WithoutTrailingSlash(record_.RootFolder());
  if (root == "/") root.clear();
  mapped.disk_path = root + path;
  if (mapped.disk_path.empty()) mapped.disk_path = "/";
  if (fits(mapped.disk_path) && fileutil::StaysWithin(record_.RootFolder(), mapped.disk_path))
    mapped.area = kRootArea;
  return mapped;
}

bool AccountFileSystem::IsFolder(std::string_view ftp_path) const {
  Guard guard(lock_);
  if (ftp_path == "/") return true;
  const MappedPath mapped = MapPath(ftp_path);
  if (mapped.area >= kRootArea && fileutil::FolderExists(mapped.disk_path)) return true;
  // A visible virtual folder below the path makes it enterable.
  const std::string& path = mapped.ftp_path;
  for (const accounts::VirtualFolder& folder : record_.VirtualFolders()) {
    if (!folder.mVisible || folder.Name().size() <= path.size()) continue;
    if (path.empty() ||
        (fileutil::StartsWithNoCase(folder.Name(), path) && folder.Name()[path.size()] == '/'))
      return true;
  }
  return false;
}

bool AccountFileSystem::IsFile(std::string_view ftp_path) const {
  const MappedPath mapped = MapPath(ftp_path);
  return mapped.area >= kRootArea && fileutil::FileExists(mapped.disk_path);
}

bool AccountFileSystem::IsLockedFolder(std::string_view disk_path) const {
  Guard guard(lock_);
  // Compared without trailing "/", so "/srv/ftp" and "/srv/ftp/" are one folder.
  const std::string path = WithoutTrailingSlash(disk_path);
  if (record_.mUseRootFolder && fileutil::EqualNoCase(path, WithoutTrailingSlash(record_.RootFolder())))
    return true;
  for (const accounts::VirtualFolder& folder : record_.VirtualFolders())
    if (fileutil::EqualNoCase(path, WithoutTrailingSlash(folder.Path()))) return true;
  return false;
}

bool AccountFileSystem::HasRight(int area, AccessRights right) const {
  Guard guard(lock_);
  if ((record_.mRights & right) != right) return false;
  if (area >= 0) {
    if (static_cast<std::size_t>(area) >= record_.FolderCount()) return false;
    return (record_.FolderAt(static_cast<std::size_t>(area)).mRights & right) == right;
  }
  return area == kRootArea;
}

EntryKind AccountFileSystem::KindOf(const std::string& disk_path) {
  platform::PathInfo info;
  if (!platform::StatPath(disk_path, &info)) return EntryKind::kNone;
  if (info.is_folder) return EntryKind::kFolder;
  return info.is_regular ? EntryKind::kFile : EntryKind::kOther;
}

bool AccountFileSystem::CheckModifyRight(std::string_view ftp_path, bool* is_file,
                                         std::string* message) const {
  Guard guard(lock_);
  const MappedPath mapped = MapPath(ftp_path);
  if (mapped.area == kUnreachableArea) return Fail(message, messages::kInaccessible);
  const EntryKind kind = KindOf(mapped.disk_path);
  if (kind == EntryKind::kNone || kind == EntryKind::kOther)
    return Fail(message, messages::kNotFound);
  *is_file = kind == EntryKind::kFile;
  const AccessRights needed = *is_file ? accounts::kFileModify : accounts::kFolderModify;
  if (!HasRight(mapped.area, needed)) return Fail(message, messages::kNoRights);
  return true;
}

bool AccountFileSystem::MakeFolder(std::string_view path, std::string* message) {
  Guard guard(lock_);
  if (IsFolder(path)) return Fail(message, messages::kFolderExists);
  const MappedPath mapped = MapPath(path);
  if (mapped.area == kUnreachableArea) return Fail(message, messages::kInaccessible);
  if (!HasRight(mapped.area, accounts::kFolderCreate)) return Fail(message, messages::kNoRights);
  if (!platform::MakeFolder(mapped.disk_path, 0755, nullptr))
    return Fail(message, messages::kCannotCreateFolder);
  return true;
}

bool AccountFileSystem::RemoveFolder(std::string_view path, std::string* message) {
  Guard guard(lock_);
  const MappedPath mapped = MapPath(path);
  if (mapped.area == kUnreachableArea) return Fail(message, messages::kInaccessible);
  if (IsLockedFolder(mapped.disk_path)) return Fail(message, messages::kLockedFolder);
  if (!HasRight(mapped.area, accounts::kFolderModify)) return Fail(message, messages::kNoRights);
  if (!fileutil::FolderExists(mapped.disk_path)) return Fail(message, messages::kNoSuchFolder);
  if (!cache_.RemoveFolder(mapped.disk_path)) return Fail(message, messages::kFolderNotEmpty);
  return true;
}

bool AccountFileSystem::DeleteFile(std::string_view path, std::string* message) {
  Guard guard(lock_);
  MappedPath mapped;
  if (!MapExistingFile(path, accounts::kFileModify, &mapped, message)) return false;
  const fileutil::FolderSizeCache::Hold parent = cache_.Acquire(ParentOf(mapped.disk_path));
  if (!parent) return Fail(message, messages::kCannotDelete);
  const std::uint64_t size = fileutil::FileSizeOf(mapped.disk_path);
  bool deleted = false;
  if (delete_to_trash_) {
    fileutil::TrashRules rules = trash_rules_;
    if (record_.mUseRootFolder) rules.kept_out_of.push_back(fileutil::ResolveNearest(record_.RootFolder()));
    for (const accounts::VirtualFolder& folder : record_.VirtualFolders())
      rules.kept_out_of.push_back(fileutil::ResolveNearest(folder.Path()));
    deleted = fileutil::MoveToTrash(mapped.disk_path, clock_, rules);
  } else {
    deleted = platform::RemoveFile(mapped.disk_path, nullptr);
  }
  if (deleted) cache_.SubtractBytes(parent, size);
  return deleted || Fail(message, messages::kCannotDelete);
}

bool AccountFileSystem::Rename(std::string_view from, std::string_view to, bool* was_file,
                               std::string* message) {
  Guard guard(lock_);
  const MappedPath source = MapPath(from);
  const MappedPath target = MapPath(to);
  if (source.area == kUnreachableArea || target.area == kUnreachableArea)
    return Fail(message, messages::kInaccessible);
  if (fileutil::PathExists(target.disk_path)) return Fail(message, messages::kTargetExists);
  bool is_file = false;
  if (!CheckModifyRight(from, &is_file, message)) return false;
  *was_file = is_file;
  if (IsBanned(fileutil::FileNamePart(target.disk_path))) return Fail(message, messages::kBannedType);
  if (is_file) {
    if (!fileutil::FolderExists(ParentOf(target.disk_path))) return Fail(message, messages::kNoTargetFolder);
  } else if (IsLockedFolder(source.disk_path)) {
    return Fail(message, messages::kLockedRename);
  }
  if (target.area >= 0 && target.area != source.area) {
    const AccessRights needed =
        is_file ? accounts::kFileWrite : (accounts::kFileWrite | accounts::kFolderCreate);
    const accounts::VirtualFolder& folder = record_.FolderAt(static_cast<std::size_t>(target.area));
    if ((folder.mRights & needed) != needed) return Fail(message, messages::kNoRights);
  }
  std::uint64_t amount = 0;
  if (is_file) {
    amount = fileutil::FileSizeOf(source.disk_path);
  } else if (!fileutil::FolderSizeCache::FolderSize(source.disk_path, &amount)) {
    return Fail(message, messages::kResourceError);
  }
  if (source.area != target.area && !SpaceCheck(target.area, amount, message)) return false;

  if (!is_file) {
    return cache_.MoveFolder(source.disk_path, target.disk_path) ||
           Fail(message, messages::kCannotMove);
  }
  const fileutil::FolderSizeCache::Hold from_parent = cache_.Acquire(ParentOf(source.disk_path));
  const fileutil::FolderSizeCache::Hold to_parent =
      from_parent ? cache_.Acquire(ParentOf(target.disk_path)) : fileutil::FolderSizeCache::Hold();
  bool moved = false;
  if (from_parent && to_parent) {
    // Never replaces a file that appeared at the target since the check
    // above; between two file systems the file is copied and then deleted.
    int error = 0;
    moved = platform::RenameNoReplace(source.disk_path, target.disk_path, &error) ||
            (platform::IsCrossDeviceError(error) &&
             fileutil::MoveFileAcrossFileSystems(source.disk_path, target.disk_path));
    if (moved) {
      cache_.SubtractBytes(from_parent, amount);
      cache_.AddBytes(to_parent, amount);
    }
  }
  return moved || Fail(message, messages::kCannotMove);
}

bool AccountFileSystem::MapExistingFile(std::string_view path, AccessRights right,
                                        MappedPath* mapped, std::string* message) const {
  *mapped = MapPath(path);
  if (mapped->area == kUnreachableArea) return Fail(message, messages::kInaccessible);
  if (!HasRight(mapped->area, right)) return Fail(message, messages::kNoRights);
  if (!fileutil::FileExists(mapped->disk_path)) return Fail(message, messages::kNoSuchFile);
  return true;
}

bool AccountFileSystem::GetFileSize(std::string_view path, std::uint64_t* size,
                                    std::string* message) {
  Guard guard(lock_);
  MappedPath mapped;
  if (!MapExistingFile(path, accounts::kFolderView, &mapped, message)) return false;
  *size = fileutil::FileSizeOf(mapped.disk_path);
  return true;
}

bool AccountFileSystem::GetFileTime(std::string_view path, platform::FileTime* time,
                                    std::string* message) {
  Guard guard(lock_);
  MappedPath mapped;
  if (!MapExistingFile(path, accounts::kFolderView, &mapped, message)) return false;
  fileutil::FileHandle file;
  if (!file.Open(mapped.disk_path, fileutil::FileHandle::Mode::kRead) || !file.GetTimes(nullptr, nullptr, time))
    return Fail(message, messages::kCannotOpen);
  return true;
}

bool AccountFileSystem::SetFileTime(std::string_view path, const platform::FileTime& time,
                                    std::string* message) {
  Guard guard(lock_);
  MappedPath mapped;
  if (!MapExistingFile(path, accounts::kFileModify, &mapped, message)) return false;
  fileutil::FileHandle file;
  if (!file.Open(mapped.disk_path, fileutil::FileHandle::Mode::kWrite) || !file.SetTimes(nullptr, &time))
    return Fail(message, messages::kCannotOpen);
  return true;
}

AreaLimits AccountFileSystem::LimitsOf(int area) const {
  AreaLimits limits;
  if (area >= 0 && static_cast<std::size_t>(area) < record_.FolderCount()) {
    const accounts::VirtualFolder& folder = record_.FolderAt(static_cast<std::size_t>(area));
    limits.limited_folder = folder.Path();
    limits.folder_limit_on = folder.mUseMaxSize;
    limits.folder_limit = std::uint64_t{folder.mMaxSize} * kMegabyte;
    limits.credit_exempt = folder.mCreditsExempt;
    limits.counts_towards_account = folder.mCountsTowardsSize;
  }
  return limits;
}

bool AccountFileSystem::IsBanned(std::string_view file_name) const {
  std::string extension;
  return banned_.has_value() && fileutil::Extension(file_name, &extension, 4096) &&
         banned_->Contains(extension);
}

FileTransfer* AccountFileSystem::Register(std::unique_ptr<FileTransfer> transfer) {
  transfers_.push_back(std::move(transfer));
  return transfers_.back().get();
}

FileTransfer* AccountFileSystem::OpenForDownload(std::string_view path, std::uint64_t rest_offset,
                                                 std::string* message) {
  return OpenSource(path, rest_offset, true, message);
}

FileTransfer* AccountFileSystem::OpenForReading(std::string_view path, std::string* message) {
  return OpenSource(path, 0, false, message);
}

FileTransfer* AccountFileSystem::OpenSource(std::string_view path, std::uint64_t rest_offset, bool charged,
                                            std::string* message) {
  Guard guard(lock_);
  MappedPath mapped;
  if (!MapExistingFile(path, accounts::kFileRead, &mapped, message)) return nullptr;
  const AreaLimits limits = LimitsOf(mapped.area);
  if (charged && Quota::LacksCredits(record_, false, limits)) return Refuse(message, messages::kNeedsCredits);
  auto file = std::make_unique<fileutil::FileHandle>();
  if (!file->Open(mapped.disk_path, fileutil::FileHandle::Mode::kRead))
    return Refuse(message, messages::kCannotOpen);
  if (rest_offset != 0) {
    if (file->Size() <= rest_offset) return Refuse(message, messages::kRestOutside);
    if (!file->SeekTo(rest_offset)) return Refuse(message, messages::kCannotOpen);
  }
  FileTransfer::Setup setup;
  setup.kind = FileTransfer::Kind::kDownload;
  setup.source = std::move(file);
  setup.file_path = mapped.disk_path;
  setup.ftp_path = mapped.ftp_path;
  setup.credit_free = !charged;
  setup.limits = limits;
  FileTransfer* transfer = Register(std::make_unique<FileTransfer>(*this, std::move(setup)));
  if (charged) Quota::ChargeStart(&record_, false, limits);
  return transfer;
}

FileTransfer* AccountFileSystem::OpenForUpload(std::string_view path, bool append,
                                               std::uint64_t rest_offset, std::string* message) {
  Guard guard(lock_);
  const MappedPath mapped = MapPath(path);
  if (mapped.area == kUnreachableArea) return Refuse(message, messages::kInaccessible);
  if (IsLockedFolder(mapped.disk_path)) return Refuse(message, messages::kLockedUpload);
  if (IsBanned(fileutil::FileNamePart(mapped.disk_path))) return Refuse(message, messages::kBannedType);
  const EntryKind kind = KindOf(mapped.disk_path);
  const bool exists = kind != EntryKind::kNone;
  const bool resume = !append && rest_offset != 0;
  if (append && kind != EntryKind::kFile) return Refuse(message, messages::kNoSuchFile);
  if (kind == EntryKind::kOther) return Refuse(message, messages::kCannotOpen);
  if (resume && !exists) return Refuse(message, messages::kRestOutside);
  const AccessRights needed = exists ? (accounts::kFileWrite | accounts::kFileModify)
                                     : accounts::kFileWrite;
  if (!HasRight(mapped.area, needed)) return Refuse(message, messages::kNoRights);
  if (!SpaceCheck(mapped.area, std::nullopt, message)) return nullptr;
  const AreaLimits limits = LimitsOf(mapped.area);
  if (Quota::LacksCredits(record_, true, limits)) return Refuse(message, messages::kNeedsCredits);
  fileutil::FolderSizeCache::Hold parent = cache_.Acquire(ParentOf(mapped.disk_path));
  if (!parent) return Refuse(message, messages::kCannotOpen);
  if (!append && !resume && exists) {
    const std::uint64_t old_size = fileutil::FileSizeOf(mapped.disk_path);
    if (!platform::RemoveFile(mapped.disk_path, nullptr)) return Refuse(message, messages::kCannotTruncate);
    cache_.SubtractBytes(parent, old_size);
  }
  auto file = std::make_unique<fileutil::FileHandle>(&clock_);
  // An appended or resumed file is opened where it is (positioned at its
  // end). Any other upload creates its file, and fails rather than write
  // into one that another session (or a local user) put there since the
  // checks above.
  if (append || resume ? !file->Open(mapped.disk_path, fileutil::FileHandle::Mode::kWrite)
                       : !file->CreateNew(mapped.disk_path))
    return Refuse(message, messages::kCannotOpen);
  if (resume) {
    // The size of the file now open, not of whatever the name meant before.
    const std::uint64_t size = file->Size();
    if (size < rest_offset) return Refuse(message, messages::kRestOutside);
    // What lies past the offset is what the client sends again: a shorter
    // upload must not leave old bytes behind its end.
    if (size > rest_offset) {
      if (!file->Truncate(rest_offset)) return Refuse(message, messages::kCannotTruncate);
      cache_.SubtractBytes(parent, size - rest_offset);
    }
    if (!file->SeekTo(rest_offset)) return Refuse(message, messages::kCannotOpen);
  }
  FileTransfer::Setup setup;
  setup.kind = FileTransfer::Kind::kUpload;
  setup.source = std::move(file);
  setup.entry = std::move(parent);
  setup.file_path = mapped.disk_path;
  setup.ftp_path = mapped.ftp_path;
  setup.delete_if_aborted = !exists;
  setup.limits = limits;
  FileTransfer* transfer = Register(std::make_unique<FileTransfer>(*this, std::move(setup)));
  Quota::ChargeStart(&record_, true, limits);
  return transfer;
}

void AccountFileSystem::CloseTransfer(FileTransfer* transfer) {
  Guard guard(lock_);
  auto it = std::find_if(transfers_.begin(), transfers_.end(),
                         [transfer](const auto& held) { return held.get() == transfer; });
  if (it != transfers_.end()) transfers_.erase(it);
}

std::size_t AccountFileSystem::OpenTransferCount() const {
  Guard guard(lock_);
  return transfers_.size();
}

bool AccountFileSystem::UsesSpaceAllocation() const {
  Guard guard(lock_);
  return record_.mUseMaxSize;
}

bool AccountFileSystem::FolderBytes(const std::string& disk_folder, std::uint64_t* bytes) const {
  return quota_.FolderBytes(disk_folder, bytes);
}

bool AccountFileSystem::SpaceCheck(int area, std::optional<std::uint64_t> needed,
                                   std::string* message) const {
  Guard guard(lock_);
  return quota_.CheckSpace(record_, LimitsOf(area), needed, message);
}

std::uint64_t AccountFileSystem::AccountFreeSpace() const {
  Guard guard(lock_);
  return quota_.FreeSpace(record_);
}

void AccountFileSystem::AddCredits(std::uint32_t n) {
  Guard guard(lock_);
  record_.mCurrentCredits = Quota::Added(record_.mCurrentCredits, n);
}

void AccountFileSystem::SubtractCredits(std::uint32_t n) {
  Guard guard(lock_);
  record_.mCurrentCredits = Quota::Subtracted(record_.mCurrentCredits, n);
}

std::uint32_t AccountFileSystem::GetCredits() const {
  Guard guard(lock_);
  return record_.mCurrentCredits;
}

void AccountFileSystem::SetCredits(std::uint32_t n) {
  Guard guard(lock_);
  record_.mCurrentCredits = n;
}

bool AccountFileSystem::BookCredits(bool upload, std::uint64_t bytes, std::uint32_t* remainder,
                                    std::uint64_t* earned) {
  Guard guard(lock_);
  const std::uint32_t before = record_.mCurrentCredits;
  const bool booked = Quota::Book(&record_, upload, bytes, remainder);
  if (earned != nullptr && record_.mCurrentCredits > before) *earned += record_.mCurrentCredits - before;
  return booked;
}

void AccountFileSystem::ReplaceRecordLocked(accounts::EffectiveRecord record) {
  record_ = std::move(record);
  record_.SortVirtualFolders();
  for (const auto& transfer : transfers_) {
    const MappedPath mapped = MapPath(transfer->FtpPath());
    const FileTransfer::Kind kind = transfer->GetKind();
    const AccessRights needed = kind == FileTransfer::Kind::kUpload     ? accounts::kFileWrite
                                : kind == FileTransfer::Kind::kDownload ? accounts::kFileRead
                                                                        : accounts::kFolderView;
    // A listing sends a prepared temporary file: only its folder must still map.
    const bool moved = kind != FileTransfer::Kind::kListing && mapped.disk_path != transfer->FilePath();
    if (mapped.area == kUnreachableArea || moved || !HasRight(mapped.area, needed)) {
      transfer->Disable();
    } else {
      transfer->ReconfigureLocked(LimitsOf(mapped.area));
    }
  }
}

}  // namespace quillon::accountfs
