#include "app/run_as_user.h"

#include <iterator>

#include "app/reload_reader.h"
#include "app/setup_tool.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/users.h"
#include "settings/extra_settings.h"
#include "fileutil/file_handle.h"
#include "fileutil/paths.h"

namespace quillon::app {

namespace {

constexpr const char* kConfHeader =
    "# Settings beyond settings.dta, one \"key = value\" per line (see README).\n";
constexpr unsigned kKeyPermissions = 0640;
constexpr unsigned kCertificatePermissions = 0644;

std::string UntrustedLine(const std::string& reason) {
  return "#ERROR - UNTRUSTED FILE (" + reason + "; root reads only files that root alone can change)";
}

// The uid root must not trust for `user` (-1 when root keeps serving or the
// user is unknown; the switch reports an unknown user itself).
long UntrustedUid(const std::string& user, platform::UserIdentity* identity) {
  if (user == kStayRoot || !platform::LookUpUser(user, identity)) return -1;
  return static_cast<long>(identity->uid);
}

}  // namespace

bool PrepareRootStart(const std::string& program_folder, ReloadReader* reader, std::string* line) {
  if (!platform::IsSuperUser()) return true;
  const std::string config = program_folder + "/config/";
  const std::string conf = config + settings::ExtraSettings::kFileName;
  platform::PathInfo info;
  if (!platform::StatPathNoFollow(conf, &info)) {
    fileutil::FileHandle file;
    if (!file.CreateNew(conf, fileutil::FileHandle::kOwnerOnlyFile) ||
        !file.WriteAll(kConfHeader, std::char_traits<char>::length(kConfHeader))) {
      *line = "#ERROR - UNABLE TO CREATE " + conf;
      return false;
    }
  }
  std::string reason;
  if (!platform::CheckRootOnlyFile(conf, -1, &reason)) {
    *line = UntrustedLine(reason);
    return false;
  }
  // Lines that do not apply are reported by the server's own load.
  settings::ExtraSettings extra;
  [[maybe_unused]] const bool clean = extra.Load(conf, &reason);
  platform::UserIdentity identity;
  const long untrusted = UntrustedUid(extra.RunAsUser(), &identity);
  if (untrusted < 0) return true;
  if (!platform::CheckRootOnlyFile(conf, untrusted, &reason)) {
    *line = UntrustedLine(reason);
    return false;
  }
  // Best effort: what cannot be claimed is refused by the check before loading.
  [[maybe_unused]] const bool claimed =
      platform::ClaimForRoot(config + SetupTool::kTlsKeyFile, identity.gid, kKeyPermissions) &&
      platform::ClaimForRoot(config + SetupTool::kTlsCertificateFile, identity.gid,
                             kCertificatePermissions);
  std::string message;
  if (!platform::LockDownPrivileges(&message)) {
    *line = "#ERROR - UNABLE TO RUN AS USER " + extra.RunAsUser() + " (" + message + ")";
    return false;
  }
  if (!reader->StartHelper(untrusted, &message)) {
    *line = "#ERROR - UNABLE TO RUN AS USER " + extra.RunAsUser() + " (" + message + ")";
    return false;
  }
  return true;
}

bool CheckFilesRootReads(const std::vector<std::string>& paths, const std::string& user,
                         std::string* line) {
  if (!platform::IsSuperUser()) return true;
  platform::UserIdentity identity;
  const long untrusted = UntrustedUid(user, &identity);
  std::string reason;
  platform::PathInfo info;
  for (const std::string& path : paths) {
    // A file that is not there is reported by whatever needs it.
    if (!platform::StatPathNoFollow(path, &info) ||
        platform::CheckRootOnlyFile(path, untrusted, &reason))
      continue;
    *line = UntrustedLine(reason);
    return false;
  }
  return true;
}

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
  const std::vector<std::string> served(std::begin(kServedConfigFiles), std::end(kServedConfigFiles));
  if (!platform::HandOver(config, 0, identity.gid, 01770) ||
      !platform::HandOverEntries(config, identity.uid, identity.gid, served)) {
    *message = "unable to hand over " + config;
    return false;
  }
  for (const char* folder : {"logs", "accountlogs", "temp"}) {
    const std::string path = program_folder + "/" + folder;
    if (!fileutil::FolderExists(path)) continue;
    if (!platform::HandOver(path, identity.uid, identity.gid, 0) ||
        !platform::HandOverEntries(path, identity.uid, identity.gid)) {
      *message = "unable to hand over " + path;
      return false;
    }
  }
  return platform::BecomeUser(identity, message);
}

}  // namespace quillon::app
