#include "fileutil/directory_enumerator.h"

namespace quillon::fileutil {

bool DirectoryEnumerator::First(const std::string& folder, DirectoryEntry* entry, EntryKinds kinds) {
  Close();
  if (!kinds.files && !kinds.folders) return false;
  directory_ = platform::OpenDirectory(folder);
  if (directory_ == nullptr) return false;
  folder_ = folder;
  if (folder_.empty() || folder_.back() != '/') folder_.push_back('/');
  files_ = kinds.files;
  folders_ = kinds.folders;
  return Next(entry);
}

bool DirectoryEnumerator::Next(DirectoryEntry* entry) {
  std::string name;
  while (directory_ != nullptr && platform::NextDirectoryEntry(directory_, &name)) {
    platform::PathInfo info;
    // An entry that vanished or cannot be examined (a broken link) is skipped.
    if (!platform::StatPath(folder_ + name, &info)) continue;
    if (info.is_folder ? !folders_ : !files_) continue;
    entry->name = std::move(name);
    entry->is_folder = info.is_folder;
    entry->size = info.size;
    entry->last_write = info.last_write;
    return true;
  }
  Close();
  return false;
}

void DirectoryEnumerator::Close() {
  platform::CloseDirectory(directory_);
  directory_ = nullptr;
}

}  // namespace quillon::fileutil
