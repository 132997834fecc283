// Walks the entries of one folder, "." and ".." included, keeping those the
// filters accept. Entries come in the order the file system returns them.
//
// Thread-safety: owned and used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fs.h"

namespace quillon::fileutil {

struct DirectoryEntry {
  std::string name;  // without any path
  bool is_folder = false;
  std::uint64_t size = 0;  // 0 for folders
  platform::FileTime last_write;
};

// Which entries a walk keeps.
struct EntryKinds {
  bool files = false;
  bool folders = false;
};

class DirectoryEnumerator {
 public:
  DirectoryEnumerator() = default;
  ~DirectoryEnumerator() { Close(); }
  DirectoryEnumerator(const DirectoryEnumerator&) = delete;
  DirectoryEnumerator& operator=(const DirectoryEnumerator&) = delete;

  // Starts a walk of `folder` and returns its first entry of the `kinds`
  // kept. False when `kinds` keeps nothing, the folder cannot be read, or no
  // entry is kept.
  [[nodiscard]] bool First(const std::string& folder, DirectoryEntry* entry, EntryKinds kinds);
  // The next qualifying entry; false (and the walk closed) when none is left.
  [[nodiscard]] bool Next(DirectoryEntry* entry);
  void Close();

 private:
  void* directory_ = nullptr;
  std::string folder_;  // ends with "/"
  bool files_ = false;
  bool folders_ = false;
};

}  // namespace quillon::fileutil
