// Deleting into the desktop's trash (the freedesktop.org layout), so a
// deleted file can be restored: the file moves into "files" and a
// ".trashinfo" record beside it in "info" says where it came from and when.
//
// The trash is the one of the user the server runs as ($XDG_DATA_HOME/Trash,
// else ~/.local/share/Trash), whatever file system the file is on (a file
// from another file system is copied there and then deleted): never a trash
// at the top of the file's own file system, which could lie inside a served
// folder, visible to clients and counted against their allocations. Each
// move trims the trash to its size limit, oldest deletions first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace quillon::fileutil {

struct TrashRules {
  // The trash holds at most this many bytes of files after a move (0: no
  // limit); the oldest deleted files go for good first. Folders that a
  // desktop put into the same trash count, but are left alone.
  std::uint64_t max_bytes = 0;
  // Folders the trash must lie outside (every account's and group's root
  // and virtual folders), resolved (ResolveNearest); a trash inside one of
  // them is not used.
  std::vector<std::string> kept_out_of;
};

// Moves the file at `path` (absolute) into the trash. False, with the file
// left where it was, when no trash can take it.
[[nodiscard]] bool MoveToTrash(const std::string& path, platform::Clock& clock,
                               const TrashRules& rules);

// Deletes the oldest entries of `trash` until its files take at most
// `max_bytes` (0: nothing is deleted).
void TrimTrash(const std::string& trash, std::uint64_t max_bytes);

// The home trash folder ("" when there is no home).
std::string HomeTrashFolder();

}  // namespace quillon::fileutil
