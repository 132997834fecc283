// Deleting into the desktop's trash (the freedesktop.org layout), so a
// deleted file can be restored: the file moves into "files" and a
// ".trashinfo" record beside it in "info" says where it came from and when.
//
// The trash of the user's home ($XDG_DATA_HOME/Trash, else
// ~/.local/share/Trash) takes files of its own file system; a file on another
// file system goes to ".Trash-<uid>" at the top of that file system.
#pragma once

#include <string>

#include "platform/clock.h"

namespace quillon::vfs {

// Moves the file at `path` (absolute) into the trash. False, with the file
// left where it was, when no trash can take it.
[[nodiscard]] bool MoveToTrash(const std::string& path, platform::Clock& clock);

// The home trash folder ("" when there is no home).
std::string HomeTrashFolder();

}  // namespace quillon::vfs
