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
//    (01770), and its data files become the user's: the server can save
//    settings, accounts and groups, but can neither replace nor remove what
//    root keeps there (quillon.conf, which says who to run as).
// A port change to a port below 1024 while running is refused afterwards.
#pragma once

#include <string>

namespace quillon::app {

// The name that keeps a server that runs as root as root.
inline constexpr const char* kStayRoot = "root";

// When the process runs as root and `user` is not "root": hands the program
// folder's own folders to `user` as above and becomes that user. True when
// done, or when there is nothing to do (not root, or `user` is "root").
// False with a message, the process unchanged, when the user is unknown or
// cannot reach the program folder; false too when the switch itself failed
// half-way, after which the caller must stop serving.
[[nodiscard]] bool ServeAsUser(const std::string& program_folder, const std::string& user,
                               std::string* message);

}  // namespace quillon::app
