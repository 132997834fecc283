// The folders beside the program, and who may look into them: the logs and
// request bodies (which can hold passwords typed into the admin pages) are
// the server's alone.
#pragma once

#include <string>

namespace quillon::app {

struct ProgramFolder {
  const char* name;
  unsigned mode;  // given at creation
  bool private_mode;  // also given to a folder that exists (an older install's)
};
inline constexpr ProgramFolder kProgramFolders[] = {
    {"logs", 0750, true},   {"accountlogs", 0750, true}, {"temp", 0700, true},
    {"config", 0755, false}, {"remoteadmin", 0755, false},
};

// Makes the missing folders below `folder` and gives the private ones their
// modes (best effort for folders this user does not own). False when one of
// them is missing afterwards.
[[nodiscard]] bool MakeProgramFolders(const std::string& folder);

}  // namespace quillon::app
