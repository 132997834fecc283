// Serving as an unprivileged user. A server started as root opens its ports
// first (ports below 1024 need root), then becomes the configured user for
// good, so a fault in the FTP engine or the remote admin cannot act as root.
//
// What the user needs, and what an administrator must grant it: passage to
// the program folder (every folder above it executable for the user), and
// read (and for uploads write) access to the folders accounts are rooted
// at. The program's own folders are handed over here:
//  - logs/, accountlogs/ and temp/ and their files become the user's;
//  - config/ stays root's, with the user's group and the sticky bit
//    (01770), and only its data files become the user's: the server can
//    save settings, accounts and groups, but can neither replace nor remove
//    what root keeps there (quillon.conf, which says who to run as, the
//    instance lock, and the certificate and key, which the user's group may
//    read).
// Root never trusts what that user can change: before anything is read,
// quillon.conf must be root's alone, and so must the certificate and key
// before they are loaded. A port change to a port below 1024 while running
// is refused afterwards. A reload after the switch reads quillon.conf and
// the certificate and key through the root helper forked at the start (see
// ReloadReader), with the same checks.
#pragma once

#include <string>
#include <vector>

namespace quillon::app {

class ReloadReader;

// The name that keeps a server that runs as root as root.
inline constexpr const char* kStayRoot = "root";
// The user that `quillon-setup init` and `service install` make for a new
// installation to serve as.
inline constexpr const char* kServiceUser = "quillon-ftp";
// The files of config/ that the server saves while it serves. Only these
// are handed to the serving user; the rest (quillon.conf, the TLS key, the
// admin password init leaves for the administrator) stay root's.
inline constexpr const char* kServedConfigFiles[] = {"settings.dta", "accounts.dta", "groups.dta",
                                                     "lastversion.dta", "loaded.dta"};

// The first steps of a server started as root, on its first thread before
// any other starts: config/quillon.conf is made root's when missing (so the
// serving user, who may add files to config/, cannot plant one later) and
// must be a file only root can change; a certificate and key that an older
// version handed to the serving user become root's again, readable by that
// user's group; and a server that will serve as another user lets go of the
// privileges a program started later could regain, and starts the root
// helper through which `reader` reads what a reload needs. True when done,
// or when not root. False with the service-log line that says why (the
// start must stop).
[[nodiscard]] bool PrepareRootStart(const std::string& program_folder, ReloadReader* reader,
                                    std::string* line);

// When the process runs as root: each non-empty path of `paths` must name a
// file only root can change, reached through nothing `user` can change.
// False with the service-log line that names the first that fails.
[[nodiscard]] bool CheckFilesRootReads(const std::vector<std::string>& paths,
                                       const std::string& user, std::string* line);

// When the process runs as root and `user` is not "root": hands the program
// folder's own folders to `user` as above and becomes that user. True when
// done, or when there is nothing to do (not root, or `user` is "root").
// False with a message, the process unchanged, when the user is unknown or
// cannot reach the program folder; false too when the switch itself failed
// half-way, after which the caller must stop serving.
[[nodiscard]] bool ServeAsUser(const std::string& program_folder, const std::string& user,
                               std::string* message);

}  // namespace quillon::app
