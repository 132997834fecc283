#include "app/run_as_user.h"

#include <string_view>

#include "platform/fs.h"
#include "platform/process.h"
#include "settings/extra_settings.h"
#include "vfs/paths.h"

namespace quillon::app {

namespace {

// The folder's entries (not below them) but `kept` to `user`; links are
// changed themselves, never followed.
bool HandOverEntries(const std::string& folder, const platform::UserIdentity& user,
                     std::string_view kept = {}) {
  void* directory = platform::OpenDirectory(folder);
  if (directory == nullptr) return false;
  bool all = true;
  std::string name;
  while (platform::NextDirectoryEntry(directory, &name)) {
    if (name == "." || name == ".." || name == kept) continue;
    all = platform::HandOver(folder + "/" + name, user.uid, user.gid, 0) && all;
  }
  platform::CloseDirectory(directory);
  return all;
}

}  // namespace

bool ServeAsUser(const std::string& program_folder, const std::string& user,
                 std::string* message) {
  if (!platform::IsSuperUser() || user == kStayRoot) return true;
  platform::UserIdentity identity;
  if (!platform::LookUpUser(user, &identity)) {
    *message = "no such user";
    return false;
  }
  if (!platform::UserCanReach(identity, program_folder)) {
    *message = "the user cannot reach " + program_folder +
               "; give it passage or set run_as_user in config/quillon.conf";
    return false;
  }
  const std::string config = program_folder + "/config";
  if (!platform::HandOver(config, 0, identity.gid, 01770) ||
      !HandOverEntries(config, identity, settings::ExtraSettings::kFileName)) {
    *message = "unable to hand over " + config;
    return false;
  }
  for (const char* folder : {"logs", "accountlogs", "temp"}) {
    const std::string path = program_folder + "/" + folder;
    if (!vfs::FolderExists(path)) continue;
    if (!platform::HandOver(path, identity.uid, identity.gid, 0) ||
        !HandOverEntries(path, identity)) {
      *message = "unable to hand over " + path;
      return false;
    }
  }
  return platform::BecomeUser(identity, message);
}

}  // namespace quillon::app
