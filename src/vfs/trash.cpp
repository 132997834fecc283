#include "vfs/trash.h"

#include <cstdio>

#include "platform/fs.h"
#include "vfs/file_handle.h"
#include "vfs/paths.h"

namespace quillon::vfs {

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

// The top folder of the file system that holds `path`.
std::string TopOfFileSystem(const std::string& path) {
  platform::PathInfo info;
  if (!platform::StatPath(path, &info)) return {};
  std::string top = path;
  std::string parent;
  while (ParentFolder(top, &parent, 4096) && parent != top) {
    platform::PathInfo above;
    if (!platform::StatPath(parent, &above) || above.device != info.device) break;
    top = parent;
    if (top == "/") break;
  }
  return top;
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
    // Creating the info file first claims the name.
    if (PathExists(info_path) || PathExists(trash + "/files/" + stored)) continue;
    platform::CalendarTime t;
    if (!platform::ToCalendar(now_seconds, true, &t)) return false;
    char date[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    FileHandle info;
    if (!info.Open(info_path, true, true, FileHandle::kOwnerOnlyFile)) return false;
    const std::string text = "[Trash Info]\nPath=" + EncodePath(path) + "\nDeletionDate=" + date + "\n";
    const bool written = info.WriteAll(text.data(), text.size());
    info.Close();
    if (written && platform::RenamePath(path, trash + "/files/" + stored, nullptr)) return true;
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

bool MoveToTrash(const std::string& path, platform::Clock& clock) {
  platform::PathInfo file, home;
  if (!platform::StatPath(path, &file) || file.is_folder) return false;
  const std::int64_t now = clock.WallTimeNs() / 1'000'000'000;
  const std::string home_trash = HomeTrashFolder();
  std::string home_base;
  if (!home_trash.empty() && ParentFolder(home_trash, &home_base, 4096)) {
    // The data folder may not exist yet: compare with the nearest existing folder.
    std::string probe = home_base;
    std::string parent;
    while (!platform::StatPath(probe, &home) && ParentFolder(probe, &parent, 4096)) probe = parent;
    if (home.device == file.device) return MoveInto(home_trash, path, now);
  }
  const std::string top = TopOfFileSystem(path);
  if (top.empty()) return false;
  const std::string trash =
      (top == "/" ? std::string() : top) + "/.Trash-" + std::to_string(platform::CurrentUserId());
  return MoveInto(trash, path, now);
}

}  // namespace quillon::vfs
