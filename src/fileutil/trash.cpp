#include "fileutil/trash.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "platform/fs.h"
#include "fileutil/file_handle.h"
#include "fileutil/folder_size_cache.h"
#include "fileutil/paths.h"

namespace quillon::fileutil {

namespace {

// Percent-encodes a path for the trashinfo "Path=" line (RFC 2396 style).
std::string EncodePath(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char ch : path) {
    const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                       (ch >= '0' && ch <= '9') || ch == '/' || ch == '-' || ch == '_' ||
                       ch == '.' || ch == '~';
    if (plain) {
      out.push_back(static_cast<char>(ch));
    } else {
      out.push_back('%');
      out.push_back(kHex[ch >> 4]);
      out.push_back(kHex[ch & 15]);
    }
  }
  return out;
}

// Moves `path` into `trash` (made when missing) under a free name.
bool MoveInto(const std::string& trash, const std::string& path, std::int64_t now_seconds) {
  if (trash.empty() || !MakeFolders(trash) || !MakeFolders(trash + "/files") ||
      !MakeFolders(trash + "/info"))
    return false;
  const std::string name = FileNamePart(path);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string stored = attempt == 0 ? name : name + "." + std::to_string(attempt);
    const std::string info_path = trash + "/info/" + stored + ".trashinfo";
    if (PathExists(trash + "/files/" + stored)) continue;
    platform::CalendarTime t;
    if (!platform::ToCalendar(now_seconds, true, &t)) return false;
    char date[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    // Creating the info file first claims the name.
    FileHandle info;
    if (!info.CreateNew(info_path, FileHandle::kOwnerOnlyFile)) {
      if (PathExists(info_path)) continue;
      return false;
    }
    const std::string text = "[Trash Info]\nPath=" + EncodePath(path) + "\nDeletionDate=" + date + "\n";
    const bool written = info.WriteAll(text.data(), text.size());
    info.Close();
    const std::string target = trash + "/files/" + stored;
    int error = 0;
    if (written && (platform::RenameNoReplace(path, target, &error) ||
                    (platform::IsCrossDeviceError(error) && MoveFileAcrossFileSystems(path, target))))
      return true;
    [[maybe_unused]] bool removed = platform::RemoveFile(info_path, nullptr);
    return false;
  }
  return false;
}

}  // namespace

std::string HomeTrashFolder() {
  std::string data = platform::EnvironmentValue("XDG_DATA_HOME");
  if (data.empty()) {
    const std::string home = platform::HomeFolder();
    if (home.empty()) return {};
    data = home + "/.local/share";
  }
  return data + "/Trash";
}

bool MoveToTrash(const std::string& path, platform::Clock& clock, const TrashRules& rules) {
  platform::PathInfo file;
  if (!platform::StatPath(path, &file) || !file.is_regular) return false;
  const std::string trash = HomeTrashFolder();
  if (trash.empty()) return false;
  const std::string resolved_trash = ResolveNearest(trash);
  for (const std::string& folder : rules.kept_out_of)
    if (IsAtOrBelow(folder, resolved_trash)) return false;
  if (!MoveInto(trash, path, clock.WallTimeNs() / 1'000'000'000)) return false;
  TrimTrash(trash, rules.max_bytes);
  return true;
}

void TrimTrash(const std::string& trash, std::uint64_t max_bytes) {
  if (max_bytes == 0) return;
  struct Item {
    platform::FileTime deleted;
    std::string name;
    std::uint64_t bytes;
    bool removable;  // a plain file; folders belong to the desktop's own use
  };
  std::vector<Item> items;
  std::uint64_t total = 0;
  void* directory = platform::OpenDirectory(trash + "/info");
  if (directory == nullptr) return;
  static constexpr std::string_view kInfoSuffix = ".trashinfo";
  std::string entry;
  while (platform::NextDirectoryEntry(directory, &entry)) {
    if (entry.size() <= kInfoSuffix.size() || !entry.ends_with(kInfoSuffix)) continue;
    const std::string name = entry.substr(0, entry.size() - kInfoSuffix.size());
    platform::PathInfo info, stored;
    if (!platform::StatPathNoFollow(trash + "/info/" + entry, &info)) continue;
    if (!platform::StatPathNoFollow(trash + "/files/" + name, &stored)) continue;
    std::uint64_t bytes = stored.size;
    if (stored.is_folder && !FolderSizeCache::FolderSize(trash + "/files/" + name, &bytes)) bytes = 0;
    items.push_back({info.last_write, name, bytes, !stored.is_folder});
    total += bytes;
  }
  platform::CloseDirectory(directory);
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    if (a.deleted.seconds != b.deleted.seconds) return a.deleted.seconds < b.deleted.seconds;
    if (a.deleted.nanoseconds != b.deleted.nanoseconds)
      return a.deleted.nanoseconds < b.deleted.nanoseconds;
    return a.name < b.name;
  });
  for (const Item& item : items) {
    if (total <= max_bytes) break;
    if (!item.removable || !platform::RemoveFile(trash + "/files/" + item.name, nullptr)) continue;
    [[maybe_unused]] bool removed = platform::RemoveFile(trash + "/info/" + item.name + ".trashinfo", nullptr);
    total -= item.bytes;
  }
}

}  // namespace quillon::fileutil
