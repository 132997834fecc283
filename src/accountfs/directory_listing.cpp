// Directory listings of an account: the folder's disk entries merged with
// the visible virtual folders, written as LIST, NLST or MLSD lines into a
// temporary file that a transfer then sends; and the MLST facts of one entry.
#include <algorithm>
#include <cstdio>

#include "accountfs/account_file_system.h"
#include "fileutil/directory_enumerator.h"
#include "accountfs/file_transfer.h"
#include "accountfs/messages.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"
#include "fileutil/time_format.h"

namespace quillon::accountfs {

namespace {
// A listing takes at most this many disk entries.
constexpr std::size_t kMaxDiskEntries = 20'000;
}  // namespace

struct AccountFileSystem::ListingEntry {
  std::string mode;
  std::uint64_t size = 0;
  std::string date;
  std::string name;
  bool is_virtual = false;
  std::size_t virtual_name_length = 0;
  // For MLSD facts.
  bool is_folder = false;
  platform::FileTime time;
  int area = kUnreachableArea;
  std::string disk_path;  // what makes the entry unique
};

namespace {

// A short, stable name for a disk path (FNV-1a), for the "unique" fact.
std::string UniqueOf(const std::string& path) {
  std::uint64_t hash = 1469598103934665603ull;
  for (const char ch : path) hash = (hash ^ static_cast<unsigned char>(ch)) * 1099511628211ull;
  return fileutil::FormatText("%016llx", static_cast<unsigned long long>(hash));
}

}  // namespace

void AccountFileSystem::SetTempFolder(std::string folder) {
  runtime::CriticalSection::Guard guard(lock_);
  temp_folder_ = std::move(folder);
}

std::string AccountFileSystem::ModeString(bool is_file, int area) const {
  runtime::CriticalSection::Guard guard(lock_);
  // A folder that exists only as the parent of virtual folders maps nowhere;
  // its entries show the account's own rights.
  auto flag = [&](accounts::AccessRights right, char on) {
    const bool granted = area == kUnreachableArea ? (record_.mRights & right) == right
                                                  : HasRight(area, right);
    return granted ? on : '-';
  };
  char text[11];
  if (is_file) {
    const char r = flag(accounts::kFileRead, 'r');
    const char w = flag(accounts::kFileWrite, 'w');
    std::snprintf(text, sizeof text, "-%c%c-%c%c-%c%c-", r, w, r, w, r, w);
  } else {
    const char r = flag(accounts::kFolderView, 'r');
    const char w = flag(accounts::kFileWrite, 'w');
    std::snprintf(text, sizeof text, "d%c%cx%c%cx%c%cx", r, w, r, w, r, w);
  }
  return text;
}

std::string AccountFileSystem::PermFact(bool is_file, int area) const {
  runtime::CriticalSection::Guard guard(lock_);
  auto granted = [&](accounts::AccessRights right) {
    return area == kUnreachableArea ? (record_.mRights & right) == right : HasRight(area, right);
  };
  std::string perm;
  if (is_file) {
    if (granted(accounts::kFileRead)) perm += 'r';
    if (granted(accounts::kFileWrite)) perm += 'a';
    if (granted(accounts::kFileModify)) perm += "dfw";
  } else {
    perm += 'e';
    if (granted(accounts::kFolderView)) perm += 'l';
    if (granted(accounts::kFileWrite)) perm += 'c';
    if (granted(accounts::kFolderCreate)) perm += 'm';
    if (granted(accounts::kFolderModify)) perm += "df";
  }
  return perm;
}

std::string AccountFileSystem::FactLine(const ListingEntry& entry, std::uint32_t facts) const {
  std::string line;
  if (facts & kFactType) {
    const char* type = !entry.is_folder ? "file" : entry.name == "." ? "cdir" : entry.name == ".." ? "pdir" : "dir";
    line += std::string("type=") + type + ";";
  }
  if ((facts & kFactSize) && !entry.is_folder) line += fileutil::FormatText("size=%llu;", static_cast<unsigned long long>(entry.size));
  if (facts & kFactModify) line += "modify=" + fileutil::FormatMdtm(entry.time, false) + ";";
  if (facts & kFactPerm) line += "perm=" + PermFact(!entry.is_folder, entry.area) + ";";
  if (facts & kFactUnique) line += "unique=" + UniqueOf(entry.disk_path) + ";";
  return line + " " + entry.name;
}

bool AccountFileSystem::MayList(const MappedPath& mapped) const {
  return HasRight(mapped.area, accounts::kFolderView) ||
         (mapped.area == kUnreachableArea && (record_.mRights & accounts::kFolderView));
}

void AccountFileSystem::AddVirtualEntries(const std::string& ftp_path, const std::string& date,
                                          std::vector<ListingEntry>* list) const {
  const platform::FileTime now_time{clock_.WallTimeNs() / 1'000'000'000, 0};
  const std::string path = ftp_path.empty() ? "/" : ftp_path;
  for (std::size_t i = 0; i < record_.FolderCount(); ++i) {
    const accounts::VirtualFolder& folder = record_.FolderAt(i);
    const std::string& name = folder.Name();
    if (!folder.mVisible || name.size() <= path.size()) continue;
    std::string candidate;
    if (path == "/") {
      candidate = name.substr(1);
    } else {
      if (!fileutil::StartsWithNoCase(name, path) || name[path.size()] != '/') continue;
      candidate = name.substr(path.size() + 1);
    }
    candidate = candidate.substr(0, candidate.find('/'));
    if (candidate.empty()) continue;
    ListingEntry entry{.mode = ModeString(false, static_cast<int>(i)),
                       .date = date,
                       .name = candidate,
                       .is_virtual = true,
                       .virtual_name_length = name.size(),
                       .is_folder = true,
                       .time = now_time,
                       .area = static_cast<int>(i),
                       .disk_path = folder.Path()};
    auto existing = std::find_if(list->begin(), list->end(), [&](const ListingEntry& e) {
      return fileutil::EqualNoCase(e.name, candidate);
    });
    if (existing == list->end()) {
      list->push_back(std::move(entry));
    } else if (!existing->is_virtual || existing->virtual_name_length > entry.virtual_name_length) {
      *existing = std::move(entry);  // the folder nearer to the path wins
    }
  }
}

FileTransfer* AccountFileSystem::OpenListing(std::string_view path, ListingStyle style,
                                             std::uint32_t facts, std::string* message) {
  runtime::CriticalSection::Guard guard(lock_);
  auto refuse = [message](const char* text) -> FileTransfer* {
    *message = text;
    return nullptr;
  };
  const MappedPath mapped = MapPath(path);
  if (!MayList(mapped)) return refuse(messages::kNoRights);
  const bool disk = mapped.area >= kRootArea && fileutil::FolderExists(mapped.disk_path);

  const std::int64_t now_seconds = clock_.WallTimeNs() / 1'000'000'000;
  const std::string now = fileutil::FormatFileTime(platform::FileTime{now_seconds, 0}, fileutil::TimeFormat::kList, true);
  std::vector<ListingEntry> list;
  bool has_dot = false;
  if (disk) {
    fileutil::DirectoryEnumerator walk;
    fileutil::DirectoryEntry found;
    const std::string file_mode = ModeString(true, mapped.area);
    const std::string folder_mode = ModeString(false, mapped.area);
    for (bool more = walk.First(mapped.disk_path, &found, {.files = true, .folders = true});
         more && list.size() < kMaxDiskEntries; more = walk.Next(&found)) {
      has_dot = has_dot || found.name == ".";
      std::string disk_path = mapped.disk_path + "/" + found.name;
      list.push_back(ListingEntry{
          .mode = found.is_folder ? folder_mode : file_mode,
          .size = found.is_folder ? 0 : found.size,
          .date = fileutil::FormatFileTime(found.last_write, fileutil::TimeFormat::kList, false),
          .name = std::move(found.name),
          .is_folder = found.is_folder,
          .time = found.last_write,
          .area = mapped.area,
          .disk_path = std::move(disk_path)});
    }
  }
  AddVirtualEntries(mapped.ftp_path, now, &list);
  const bool is_root = mapped.ftp_path.empty() || mapped.ftp_path == "/";
  if (!has_dot && (!list.empty() || is_root)) {
    const std::string folder_mode = ModeString(false, mapped.area);
    const platform::FileTime now_time{now_seconds, 0};
    ListingEntry dot{.mode = folder_mode,
                     .date = now,
                     .name = ".",
                     .is_folder = true,
                     .time = now_time,
                     .area = mapped.area,
                     .disk_path = mapped.disk_path};
    ListingEntry dot_dot = dot;
    dot_dot.name = "..";
    dot_dot.disk_path += "/..";
    list.push_back(std::move(dot));
    list.push_back(std::move(dot_dot));
  }
  const char* failure = disk ? messages::kNoListing : messages::kNoSuchDirectory;
  if (list.empty() || temp_folder_.empty()) return refuse(failure);

  std::string text;
  const std::string owner = record_.Name();
  for (const ListingEntry& entry : list) {
    if (style == ListingStyle::kNames) {
      text += entry.name;
    } else if (style == ListingStyle::kFacts) {
      text += FactLine(entry, facts);
    } else {
      char size[32];
      std::snprintf(size, sizeof size, "%10llu", static_cast<unsigned long long>(entry.size));
      text += entry.mode + "   1 " + owner + " QuillonFTPServer " + size + " " + entry.date + " " +
              entry.name;
    }
    text += "\r\n";
  }
  std::string temporary;
  fileutil::FileHandle writer;
  if (!writer.CreateUnique(temp_folder_, "", &temporary)) return refuse(failure);
  const bool written = writer.WriteAll(text.data(), text.size());
  writer.Close();
  auto reader = std::make_unique<fileutil::FileHandle>();
  if (!written || !reader->Open(temporary, fileutil::FileHandle::Mode::kRead)) {
    [[maybe_unused]] bool removed = platform::RemoveFile(temporary, nullptr);
    return refuse(failure);
  }
  FileTransfer::Setup setup;
  setup.kind = FileTransfer::Kind::kListing;
  setup.source = std::move(reader);
  setup.file_path = temporary;
  setup.ftp_path = mapped.ftp_path.empty() ? "/" : mapped.ftp_path;
  setup.temporary_file = temporary;
  setup.delete_if_aborted = true;
  setup.credit_free = true;
  setup.limits = LimitsOf(mapped.area);
  return Register(std::make_unique<FileTransfer>(*this, std::move(setup)));
}

bool AccountFileSystem::FactsOf(std::string_view path, std::uint32_t facts, std::string* line,
                                std::string* message) {
  runtime::CriticalSection::Guard guard(lock_);
  const MappedPath mapped = MapPath(path);
  const std::string ftp_path = mapped.ftp_path.empty() ? "/" : mapped.ftp_path;
  if (!MayList(mapped)) {
    *message = messages::kNoRights;
    return false;
  }
  ListingEntry entry;
  entry.name = ftp_path;
  entry.area = mapped.area;
  entry.disk_path = mapped.disk_path;
  platform::PathInfo info;
  if (mapped.area >= kRootArea && platform::StatPath(mapped.disk_path, &info) &&
      (info.is_folder || info.is_regular)) {
    entry.is_folder = info.is_folder;
    entry.size = info.is_folder ? 0 : info.size;
    entry.time = info.last_write;
  } else if (mapped.area == kUnreachableArea && IsFolder(path)) {
    // A folder that holds only virtual folders.
    entry.is_folder = true;
    entry.time = platform::FileTime{clock_.WallTimeNs() / 1'000'000'000, 0};
    entry.disk_path = "virtual:" + ftp_path;
  } else {
    *message = messages::kNotFound;
    return false;
  }
  *line = FactLine(entry, facts);
  return true;
}

}  // namespace quillon::accountfs
