// Processes, signals and system-wide locks: what the program's start-up, its
// service mode and the service manager need from the operating system.
//
// Thread-safety: free functions are safe from any thread unless noted.
#pragma once

#include <string>
#include <vector>

#include "platform/event.h"

namespace quillon::platform {

// The running program's own file ("" when it cannot be read).
std::string ProgramPath();
// The full path of a program found on PATH ("" when there is none).
std::string FindProgram(const std::string& name);
[[nodiscard]] bool SetCurrentFolder(const std::string& path);
// The effective user is root.
bool IsSuperUser();

// A user of the system, as the user database knows it.
struct UserIdentity {
  std::string name;
  unsigned uid = 0;
  unsigned gid = 0;
  std::vector<unsigned> groups;  // every group of the user, the primary one included
};
// False when the system knows no such user.
[[nodiscard]] bool LookUpUser(const std::string& name, UserIdentity* user);
// True when `user` may pass through `folder` and every folder above it, by
// the permission bits, owners and groups (as the kernel would judge it).
bool UserCanReach(const UserIdentity& user, const std::string& folder);
// Sets owner and group of a path (a link itself, not its target), and with
// `permissions` not 0, its permission bits.
[[nodiscard]] bool HandOver(const std::string& path, unsigned uid, unsigned gid,
                            unsigned permissions);
// Makes the whole process (every thread) `user` for good: its groups, then
// its group and user ids, real, effective and saved. False with a message
// when a step fails; the caller must then not go on serving.
[[nodiscard]] bool BecomeUser(const UserIdentity& user, std::string* message);
// The owner's user id of a path (-1 when it cannot be examined).
long OwnerOf(const std::string& path);

// A named lock that one process at a time can hold, for every mode and
// every user of one installation: an exclusive flock on a file of that name
// in the installation's lock folder (QUILLON_LOCK_DIR, else the program
// folder's config/, which only its owner may write). The file is
// owner-only, so nobody else can take the lock first. Released when closed
// or when the process ends.
class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock() { Close(); }
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  static std::string LockFolder(const std::string& program_folder);
  // True when this process now holds the lock. *held_elsewhere tells that
  // another process holds it; false with a failure to open the lock file
  // (missing folder, no access, or a link in its place).
  [[nodiscard]] bool Acquire(const std::string& program_folder, const std::string& name,
                             bool* held_elsewhere);
  bool IsHeld() const { return descriptor_ >= 0; }
  void Close();

 private:
  int descriptor_ = -1;
};

// The stop signals of a service process: SIGTERM, SIGINT and SIGHUP.
// Block() must run before any thread starts, so that every thread inherits
// the mask and the signals are only ever taken by Wait().
class StopSignals {
 public:
  StopSignals() = default;
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  [[nodiscard]] bool Block();
  // Waits for a stop signal or for `done`: true when a signal came.
  bool Wait(const Event& done);

 private:
  int descriptor_ = -1;  // signalfd
};

// Starts `argv` as a detached process in its own session, with its input and
// output on /dev/null; *pid gets its id. It is not a child of the caller.
[[nodiscard]] bool SpawnDetached(const std::vector<std::string>& argv, int* pid);
// Runs `argv` and waits for it; its exit code, or -1 when it did not run.
int RunAndWait(const std::vector<std::string>& argv);
// The process exists and has not ended.
bool ProcessAlive(int pid);
// The process's arguments joined by single blanks ("" when unreadable).
std::string ProcessCommandLine(int pid);
[[nodiscard]] bool SendTerminate(int pid);
int CurrentProcessId();
// systemd manages this machine.
bool SystemdRuns();

}  // namespace quillon::platform
