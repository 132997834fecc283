// Users of the system and this process's privileges: who a server started as
// root serves as, what it hands to that user, how it lets go of root for good,
// and which files root may trust.
//
// The rule behind all of it: root never reads or writes a file, or follows a
// link, that the serving user can create or change. Root's own files are
// checked before they are read; the serving user's are handed over without
// following what that user may have planted among them.
//
// Thread-safety: free functions, safe from any thread unless noted.
#pragma once

#include <string>
#include <vector>

namespace quillon::platform {

// A user of the system, as the user database knows it.
struct UserIdentity {
  std::string name;
  unsigned uid = 0;
  unsigned gid = 0;
  std::vector<unsigned> groups;  // every group of the user, the primary one included
};
// False when the system knows no such user.
[[nodiscard]] bool LookUpUser(const std::string& name, UserIdentity* user);
// The name of the process's effective user (the owner of the files it
// creates); its id as digits when the user database has no name for it.
std::string EffectiveUserName();
// True when `user` may pass through `folder` and every folder above it, by
// the permission bits, owners and groups (as the kernel would judge it).
bool UserCanReach(const UserIdentity& user, const std::string& folder);
// Creates a system user of that name with a group of its own, no login shell
// and no home folder. False with a message when the system's tool fails.
[[nodiscard]] bool CreateSystemUser(const std::string& name, std::string* message);

// Sets owner and group of a path (a link itself, not its target), and with
// `permissions` not 0, its permission bits.
[[nodiscard]] bool HandOver(const std::string& path, unsigned uid, unsigned gid,
                            unsigned permissions);
// Gives the entries of `folder` (not what lies below them) to uid and gid:
// with `names` empty every entry, else only those names. Links change
// themselves, never their targets, and a file with a second hard link is left
// as it is (it may be another file's name, linked in by whoever can write
// there). False when an entry could not be changed or the folder not read.
[[nodiscard]] bool HandOverEntries(const std::string& folder, unsigned uid, unsigned gid,
                                   const std::vector<std::string>& names = {});
// Makes the regular file at `path` root's, with group `gid` and `permissions`
// (a file an older version handed to the serving user). A link, a file with
// a second hard link or anything but a regular file is left alone. True when
// the file is root's now or when there is none.
[[nodiscard]] bool ClaimForRoot(const std::string& path, unsigned gid, unsigned permissions);

// Whether root can trust the file at `path`: a regular file owned by root
// and writable by no one else, reached only through folders that neither
// `untrusted_uid` (-1: no such user) owns nor its group or others may change
// (a folder with the sticky bit may be shared: no one but root can replace
// root's entries there), and through links that `untrusted_uid` does not own.
// False with *reason saying which part fails and why.
[[nodiscard]] bool CheckRootOnlyFile(const std::string& path, long untrusted_uid,
                                     std::string* reason);

// Lets go of every privilege a later program start could regain: no new
// privileges through set-user-id programs or file capabilities, and empty
// capability bounding and ambient sets. Applies to the calling thread and
// the threads it starts afterwards, so a server calls it on its first thread
// before any other starts. REQUIRES: root (the bounding set needs it).
[[nodiscard]] bool LockDownPrivileges(std::string* message);
// Makes the whole process (every thread) `user` for good: its groups, then
// its group and user ids, real, effective and saved. False with a message
// when a step fails; the caller must then not go on serving.
[[nodiscard]] bool BecomeUser(const UserIdentity& user, std::string* message);

}  // namespace quillon::platform
