#include "platform/users.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fstream>

#include "platform/fs.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace quillon::platform {

namespace {

// Links followed on one path before it counts as a loop (as the kernel does).
constexpr int kMaxLinks = 40;

// The non-empty components of `path` other than ".".
std::deque<std::string> Components(const std::string& path) {
  std::deque<std::string> parts;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(at, slash - at);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    at = slash + 1;
  }
  return parts;
}

// A folder on the way to a file root reads: the untrusted user must not own
// it, and no group or other may change it unless the sticky bit keeps root's
// entries root's.
bool CheckFolder(const std::string& shown, const struct stat& st, long untrusted_uid,
                 std::string* reason) {
  if (!S_ISDIR(st.st_mode)) {
    *reason = shown + " is not a folder";
    return false;
  }
  if (untrusted_uid >= 0 && st.st_uid == static_cast<uid_t>(untrusted_uid)) {
    *reason = shown + " belongs to the serving user";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
    *reason = shown + " is writable by its group or by others";
    return false;
  }
  return true;
}

}  // namespace

std::string EffectiveUserName() {
  const uid_t uid = geteuid();
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && found->pw_name[0] != '\0')
    return found->pw_name;
  return std::to_string(static_cast<unsigned>(uid));
}

bool LookUpUser(const std::string& name, UserIdentity* user) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr)
    return false;
  user->name = name;
  user->uid = static_cast<unsigned>(found->pw_uid);
  user->gid = static_cast<unsigned>(found->pw_gid);
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(name.c_str(), found->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (getgrouplist(name.c_str(), found->pw_gid, groups.data(), &count) < 0) count = 0;
  }
  user->groups.assign(groups.begin(), groups.begin() + std::max(count, 0));
  if (user->groups.empty()) user->groups.push_back(user->gid);
  return true;
}

bool UserCanReach(const UserIdentity& user, const std::string& folder) {
  if (user.uid == 0) return true;
  std::string path = folder;
  for (;;) {
    struct stat st {};
    if (stat(path.empty() ? "/" : path.c_str(), &st) != 0) return false;
    bool may_pass;
    if (st.st_uid == user.uid) {
      may_pass = (st.st_mode & S_IXUSR) != 0;
    } else if (std::find(user.groups.begin(), user.groups.end(), st.st_gid) != user.groups.end()) {
      may_pass = (st.st_mode & S_IXGRP) != 0;
    } else {
      may_pass = (st.st_mode & S_IXOTH) != 0;
    }
    if (!may_pass) return false;
    const std::size_t slash = path.find_last_of('/');
    if (path.empty() || slash == std::string::npos) return true;
    path.resize(slash);
  }
}

bool CreateSystemUser(const std::string& name, std::string* message) {
  std::string tool = FindProgram("useradd");
  if (tool.empty()) tool = "/usr/sbin/useradd";
  const int status = RunAndWait({tool, "--system", "--user-group", "--no-create-home", "--home-dir",
                                 "/nonexistent", "--shell", "/usr/sbin/nologin", "--comment",
                                 "Quillon FTP Server", name});
  if (status == 0) return true;
  *message = "useradd " + name + (status < 0 ? " could not run" : " failed with status " +
                                                                       std::to_string(status));
  return false;
}

bool HandOver(const std::string& path, unsigned uid, unsigned gid, unsigned permissions) {
  if (lchown(path.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) return false;
  return permissions == 0 || chmod(path.c_str(), static_cast<mode_t>(permissions)) == 0;
}

bool HandOverEntries(const std::string& folder, unsigned uid, unsigned gid,
                     const std::vector<std::string>& names) {
  const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0) return false;
  DIR* listing = fdopendir(descriptor);
  if (listing == nullptr) {
    close(descriptor);
    return false;
  }
  bool all = true;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!names.empty() && std::find(names.begin(), names.end(), name) == names.end()) continue;
    // The entry is pinned by a descriptor (a link itself, never its target),
    // so what is examined is what changes owner, whatever is renamed meanwhile.
    const int handle = openat(dirfd(listing), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (handle < 0) {
      all = all && errno == ENOENT;
      continue;
    }
    struct stat st {};
    const bool examined = fstat(handle, &st) == 0;
    const bool second_name = examined && !S_ISDIR(st.st_mode) && st.st_nlink > 1;
    if (!examined || (!second_name && fchownat(handle, "", static_cast<uid_t>(uid),
                                               static_cast<gid_t>(gid),
                                               AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0))
      all = false;
    close(handle);
  }
  closedir(listing);
  return all;
}

bool ClaimForRoot(const std::string& path, unsigned gid, unsigned permissions) {
  const int handle = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (handle < 0) return errno == ENOENT;
  struct stat st {};
  bool claimed = fstat(handle, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
  claimed = claimed && fchown(handle, 0, static_cast<gid_t>(gid)) == 0 &&
            fchmod(handle, static_cast<mode_t>(permissions)) == 0;
  close(handle);
  return claimed;
}

bool CheckRootOnlyFile(const std::string& path, long untrusted_uid, std::string* reason) {
  const std::string absolute = !path.empty() && path[0] == '/' ? path : CurrentFolder() + "/" + path;
  std::deque<std::string> pending = Components(absolute);
  std::string current;  // the real folder reached so far, links resolved; "" is "/"
  struct stat st {};
  if (lstat("/", &st) != 0 || !CheckFolder("/", st, untrusted_uid, reason)) return false;
  int links = 0;
  while (!pending.empty()) {
    const std::string part = std::move(pending.front());
    pending.pop_front();
    if (part == "..") {
      current.resize(current.empty() ? 0 : current.find_last_of('/'));
      continue;
    }
    const std::string next = current + "/" + part;
    if (lstat(next.c_str(), &st) != 0) {
      *reason = ErrorText(next.c_str(), errno);
      return false;
    }
    if (S_ISLNK(st.st_mode)) {
      if (untrusted_uid >= 0 && st.st_uid == static_cast<uid_t>(untrusted_uid)) {
        *reason = next + " is a link that belongs to the serving user";
        return false;
      }
      std::vector<char> target(4096);
      const ssize_t length = readlink(next.c_str(), target.data(), target.size());
      if (++links > kMaxLinks || length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        *reason = next + " is a link that cannot be followed";
        return false;
      }
      const std::string text(target.data(), static_cast<std::size_t>(length));
      if (text[0] == '/') current.clear();
      std::deque<std::string> parts = Components(text);
      pending.insert(pending.begin(), parts.begin(), parts.end());
      continue;
    }
    if (!pending.empty()) {
      if (!CheckFolder(next, st, untrusted_uid, reason)) return false;
      current = next;
      continue;
    }
    if (!S_ISREG(st.st_mode)) {
      *reason = next + " is not a regular file";
    } else if (st.st_uid != 0) {
      *reason = next + " belongs to uid " + std::to_string(st.st_uid) + ", not to root";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      *reason = next + " is writable by its group or by others";
    } else {
      return true;
    }
    return false;
  }
  *reason = absolute + " is not a file";
  return false;
}

bool LockDownPrivileges(std::string* message) {
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    *message = ErrorText("PR_SET_NO_NEW_PRIVS", errno);
    return false;
  }
  int last = 63;
  std::ifstream("/proc/sys/kernel/cap_last_cap") >> last;
  for (int capability = 0; capability <= last; ++capability) {
    const int present = prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
    if (present < 0) break;  // past the kernel's last capability
    if (present == 1 && prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
      *message = ErrorText("PR_CAPBSET_DROP", errno);
      return false;
    }
  }
  // Kernels before 4.3 have no ambient set, and so nothing to clear.
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    *message = ErrorText("PR_CAP_AMBIENT_CLEAR_ALL", errno);
    return false;
  }
  return true;
}

bool BecomeUser(const UserIdentity& user, std::string* message) {
  std::vector<gid_t> groups(user.groups.begin(), user.groups.end());
  // glibc applies each of these to every thread of the process.
  if (setgroups(groups.size(), groups.data()) != 0) {
    *message = ErrorText("setgroups", errno);
    return false;
  }
  if (setresgid(user.gid, user.gid, user.gid) != 0) {
    *message = ErrorText("setresgid", errno);
    return false;
  }
  if (setresuid(user.uid, user.uid, user.uid) != 0) {
    *message = ErrorText("setresuid", errno);
    return false;
  }
  // No way back: a process that could become root again has not dropped.
  if (user.uid != 0 && (setuid(0) == 0 || geteuid() != user.uid)) {
    *message = "the process could become root again";
    return false;
  }
  return true;
}

}  // namespace quillon::platform
