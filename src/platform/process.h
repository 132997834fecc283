// Processes, signals and system-wide locks: what the program's start-up, its
// service mode and the service manager need from the operating system.
//
// Thread-safety: free functions are safe from any thread unless noted.
#pragma once

#include <cstdint>
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
  // The id of the process that holds the lock of that name, as the system's
  // lock table shows it (the process that took it); 0 when nobody holds it
  // or the lock file is not there. Takes no lock itself, so it never keeps
  // a start out.
  static int HolderId(const std::string& program_folder, const std::string& name);
  // True when this process now holds the lock. *held_elsewhere tells that
  // another process holds it; false with a failure to open the lock file
  // (missing folder, no access, or a link in its place).
  [[nodiscard]] bool Acquire(const std::string& program_folder, const std::string& name,
                             bool* held_elsewhere);
  bool IsHeld() const { return descriptor_ >= 0; }
  void Close();

 private:
  // A new root-owned, locked file in place of `path`; its descriptor or -1.
  static int ReplaceLockFile(const std::string& path);

  int descriptor_ = -1;
};

// The control signals of a service process: SIGTERM and SIGINT stop it,
// SIGHUP asks it to reload its configuration. Block() must run before any
// thread starts, so that every thread inherits the mask and the signals are
// only ever taken by Wait().
class StopSignals {
 public:
  enum class Received { kDone, kStop, kReload };

  StopSignals() = default;
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  [[nodiscard]] bool Block();
  // Waits for a signal or for `done`: which signal came, or kDone once
  // `done` is set. A wait that fails is taken as a stop.
  Received Wait(const Event& done);

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
// Sends SIGHUP: a service process reloads its configuration.
[[nodiscard]] bool SendReload(int pid);
int CurrentProcessId();

// What this process has used: processor time (user and system) and the
// memory it holds resident, from /proc/self.
struct ProcessUsage {
  double cpu_seconds = 0;
  std::uint64_t resident_bytes = 0;
};
// False when /proc/self cannot be read.
[[nodiscard]] bool ReadProcessUsage(ProcessUsage* usage);

// A program run with exactly the environment given and no arguments but its
// own path (nothing is interpreted by a shell), in a process group of its
// own, its input and output on /dev/null and no other descriptor of ours.
// It runs as this process runs (the same user). The owner waits for it with
// a limit and may kill its whole group.
//
// Thread-safety: one thread at a time.
class LimitedChild {
 public:
  // How a program ended.
  struct End {
    bool exited = false;  // by itself, with exit_code
    int exit_code = 0;
    int signal = 0;       // the signal that ended it, when not exited
  };

  LimitedChild() = default;
  // A program still running is killed (its group) and reaped.
  ~LimitedChild();
  LimitedChild(const LimitedChild&) = delete;
  LimitedChild& operator=(const LimitedChild&) = delete;

  // Starts `path` with `environment` ("NAME=value" each). True once the
  // program runs; false with *error when it could not be started (no such
  // file, not executable, no process). REQUIRES: none started yet.
  [[nodiscard]] bool Start(const std::string& path, const std::vector<std::string>& environment,
                           std::string* error);
  // Waits at most `timeout_ms` for the program to end. True, with *end
  // filled and the program reaped, when it has ended.
  [[nodiscard]] bool Wait(std::uint32_t timeout_ms, End* end);
  // Sends SIGKILL to the program's process group (what it started too).
  void KillGroup();
  int Id() const { return pid_; }

 private:
  int pid_ = -1;
  int pidfd_ = -1;  // -1 where the system has no process descriptors
};
// systemd manages this machine.
bool SystemdRuns();

}  // namespace quillon::platform
