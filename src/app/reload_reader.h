// Where a running service reads config/quillon.conf and the certificate and
// key that file names when it reloads. A server started as root that serves
// as another user can no longer read them (root keeps them root-only): it
// asks the root helper it started while it was still root (see
// platform::PrivilegedReader). Any other server reads them itself, with
// root's trust checks when it runs as root.
//
// Thread-safety: one thread at a time (the service serialises its reloads).
#pragma once

#include <string>
#include <vector>

#include "ftp/ftp_server.h"
#include "platform/privileged_reader.h"

namespace quillon::admin {
class RemoteAdminService;
}

namespace quillon::app {

class ReloadReader {
 public:
  explicit ReloadReader(const std::string& program_folder);

  // Starts the root helper of a server that will serve as the user
  // `untrusted_uid` (whose files root must not trust). False with *error
  // when it cannot start. REQUIRES: root, and no other thread started yet.
  [[nodiscard]] bool StartHelper(long untrusted_uid, std::string* error);
  // Reads the files as they are now. False with *error when the helper has
  // ended (a reload is then impossible until a restart).
  [[nodiscard]] bool Read(ftp::ReloadFiles* files, std::string* error);

  // The certificate and key paths that a quillon.conf text names.
  static std::vector<std::string> NamedFiles(const std::string& text);

 private:
  const std::string config_path_;
  const std::string tokens_path_;
  platform::PrivilegedReader helper_;
  bool use_helper_ = false;
};

// Reads the files with `reader` and applies them to `server` and to the
// certificate of `remote_admin` (may be null) for new connections. *report is
// the service-log line: "#OK - RELOADED (<what changed>)" or "#WARNING -
// RELOAD REFUSED (<why>)", after which everything runs as before. The logs
// need nothing: every log opens and closes its file for each line it
// writes, so a log file that was moved away is simply begun again.
bool ReloadServer(ReloadReader& reader, ftp::FtpServer& server, admin::RemoteAdminService* remote_admin,
                  std::string* report);

}  // namespace quillon::app
