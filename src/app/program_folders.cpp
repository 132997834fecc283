#include "app/program_folders.h"

#include "platform/fs.h"
#include "fileutil/paths.h"

namespace quillon::app {

bool MakeProgramFolders(const std::string& folder) {
  bool all = true;
  for (const ProgramFolder& entry : kProgramFolders) {
    const std::string path = folder + "/" + entry.name;
    if (!fileutil::MakeFolders(path, entry.mode)) {
      all = false;
      continue;
    }
    if (entry.private_mode) {
      [[maybe_unused]] const bool changed = platform::SetPermissions(path, entry.mode);
    }
  }
  return all;
}

}  // namespace quillon::app
