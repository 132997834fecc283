#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string_view>

#include "platform/thread.h"

namespace quillon::platform {

namespace {

// argv for exec: the texts and a terminating null.
std::vector<char*> ArgumentVector(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  out.reserve(argv.size() + 1);
  for (const std::string& arg : argv) out.push_back(const_cast<char*>(arg.c_str()));
  out.push_back(nullptr);
  return out;
}

void WriteAllToPipe(int descriptor, const void* bytes, std::size_t count) {
  const char* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t written = write(descriptor, at, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    at += written;
    count -= static_cast<std::size_t>(written);
  }
}

}  // namespace

std::string ProgramPath() {
  char buffer[4096];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::string FindProgram(const std::string& name) {
  const char* path = getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string_view folder = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (folder.empty()) continue;
    std::string candidate = std::string(folder) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

bool SetCurrentFolder(const std::string& path) { return chdir(path.c_str()) == 0; }

bool IsSuperUser() { return geteuid() == 0; }

int InstanceLock::ReplaceLockFile(const std::string& path) {
  std::string temporary = path + ".XXXXXX";
  const int descriptor = mkostemp(temporary.data(), O_CLOEXEC);
  if (descriptor < 0) return -1;
  // Locked before it takes the name, so no one else can take it in between.
  if (flock(descriptor, LOCK_EX | LOCK_NB) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    close(descriptor);
    return -1;
  }
  return descriptor;
}

std::string InstanceLock::LockFolder(const std::string& program_folder) {
  const char* value = std::getenv("QUILLON_LOCK_DIR");
  if (value != nullptr && value[0] != '\0') return value;
  return program_folder + "/config";
}

bool InstanceLock::Acquire(const std::string& program_folder, const std::string& name,
                           bool* held_elsewhere) {
  Close();
  *held_elsewhere = false;
  const std::string path = LockFolder(program_folder) + "/" + name;
  // Never through a link: whoever could plant one could point it anywhere.
  int descriptor = open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (descriptor < 0) return false;
  struct stat st {};
  if (fstat(descriptor, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(descriptor);
    return false;
  }
  // A lock file left readable by an older version becomes owner-only.
  if (st.st_uid == geteuid() && (st.st_mode & 077) != 0) fchmod(descriptor, 0600);
  if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
    *held_elsewhere = errno == EWOULDBLOCK;
    close(descriptor);
    return false;
  }
  // Root's lock file must stay root's: whoever owns it can hold its lock and
  // keep every start out. One an older version handed to the serving user is
  // replaced, while this process holds its lock, by a new file of root's.
  if (geteuid() == 0 && st.st_uid != 0) {
    const int replacement = ReplaceLockFile(path);
    close(descriptor);
    if (replacement < 0) return false;
    descriptor = replacement;
  }
  descriptor_ = descriptor;
  return true;
}

int InstanceLock::HolderId(const std::string& program_folder, const std::string& name) {
  struct stat st {};
  if (lstat((LockFolder(program_folder) + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return 0;
  // Lines like "1: FLOCK  ADVISORY  WRITE 4711 08:01:1234 0 EOF": the
  // holder's id, then the file's device (hexadecimal major:minor) and inode.
  std::ifstream table("/proc/locks");
  std::string line;
  while (std::getline(table, line)) {
    char kind[16] = {}, mode[16] = {}, access[16] = {};
    int pid = 0;
    unsigned major_number = 0, minor_number = 0;
    unsigned long long inode = 0;
    if (std::sscanf(line.c_str(), "%*d: %15s %15s %15s %d %x:%x:%llu", kind, mode, access, &pid,
                    &major_number, &minor_number, &inode) != 7)
      continue;
    if (std::string_view(kind) == "FLOCK" && pid > 0 && inode == st.st_ino &&
        major_number == major(st.st_dev) && minor_number == minor(st.st_dev))
      return pid;
  }
  return 0;
}

void InstanceLock::Close() {
  if (descriptor_ < 0) return;
  close(descriptor_);  // releases the flock
  descriptor_ = -1;
}

StopSignals::~StopSignals() {
  if (descriptor_ >= 0) close(descriptor_);
}

bool StopSignals::Block() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, signal_number);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  descriptor_ = signalfd(-1, &set, SFD_CLOEXEC);
  return descriptor_ >= 0;
}

StopSignals::Received StopSignals::Wait(const Event& done) {
  for (;;) {
    pollfd items[2] = {{descriptor_, POLLIN, 0}, {done.PollDescriptor(), POLLIN, 0}};
    const int ready = poll(items, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Received::kStop;
    }
    if (items[0].revents != 0) {
      signalfd_siginfo info;
      if (read(descriptor_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        return info.ssi_signo == SIGHUP ? Received::kReload : Received::kStop;
    }
    if (done.IsSet()) return Received::kDone;
  }
}

namespace {

// In a child between fork and exec (async-signal-safe calls only): input
// and output on /dev/null, so a program never writes into the server's
// terminal or reads from it.
void StandardStreamsToNull() {
  const int null = open("/dev/null", O_RDWR);
  if (null < 0) return;
  dup2(null, 0);
  dup2(null, 1);
  dup2(null, 2);
}

}  // namespace

bool SpawnDetached(const std::vector<std::string>& argv, int* pid) {
  if (argv.empty()) return false;
  // Two forks: the middle process ends at once, so the program is not our
  // child and never waits as a zombie for us. A pipe carries its pid back.
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return false;
  std::vector<char*> args = ArgumentVector(argv);
  const pid_t middle = fork();
  if (middle < 0) {
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    return false;
  }
  if (middle == 0) {
    setsid();
    const pid_t program = fork();
    if (program == 0) {
      StandardStreamsToNull();
      sigset_t none;
      sigemptyset(&none);
      pthread_sigmask(SIG_SETMASK, &none, nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    const int value = program;
    WriteAllToPipe(pipe_ends[1], &value, sizeof value);
    _exit(program > 0 ? 0 : 1);
  }
  close(pipe_ends[1]);
  int value = -1;
  ssize_t got;
  do {
    got = read(pipe_ends[0], &value, sizeof value);
  } while (got < 0 && errno == EINTR);
  close(pipe_ends[0]);
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  if (got != static_cast<ssize_t>(sizeof value) || value <= 0) return false;
  *pid = value;
  return true;
}

int RunAndWait(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<char*> args = ArgumentVector(argv);
  // The pipe closes on a successful exec; a failed one writes its errno, so
  // a program that could not start is told apart from one that exits 127.
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return -1;
  const pid_t child = fork();
  if (child < 0) {
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    return -1;
  }
  if (child == 0) {
    execvp(args[0], args.data());
    const int error = errno;
    WriteAllToPipe(pipe_ends[1], &error, sizeof error);
    _exit(127);
  }
  close(pipe_ends[1]);
  int exec_error = 0;
  ssize_t got;
  do {
    got = read(pipe_ends[0], &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  close(pipe_ends[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (got > 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ProcessAlive(int pid) {
  if (pid <= 0) return false;
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  // A process that has ended but was not yet reaped is not alive.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close_paren = text.rfind(')');
  return close_paren == std::string::npos || close_paren + 2 >= text.size() ||
         text[close_paren + 2] != 'Z';
}

std::string ProcessCommandLine(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  for (char& ch : text)
    if (ch == '\0') ch = ' ';
  return text;
}

bool SendTerminate(int pid) { return pid > 0 && kill(pid, SIGTERM) == 0; }

bool SendReload(int pid) { return pid > 0 && kill(pid, SIGHUP) == 0; }

int CurrentProcessId() { return static_cast<int>(getpid()); }

bool ReadProcessUsage(ProcessUsage* usage) {
  std::ifstream stat_file("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
  // The command name may hold blanks and parentheses: the fields that count
  // begin after the last ')'. utime and stime are the 12th and 13th of them.
  const std::size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return false;
  unsigned long long user_ticks = 0, system_ticks = 0;
  if (std::sscanf(text.c_str() + close_paren + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                  &user_ticks, &system_ticks) != 2)
    return false;
  std::ifstream statm("/proc/self/statm");
  unsigned long long size_pages = 0, resident_pages = 0;
  if (!(statm >> size_pages >> resident_pages)) return false;
  const long ticks_per_second = sysconf(_SC_CLK_TCK);
  const long page_bytes = sysconf(_SC_PAGESIZE);
  if (ticks_per_second <= 0 || page_bytes <= 0) return false;
  usage->cpu_seconds = static_cast<double>(user_ticks + system_ticks) / static_cast<double>(ticks_per_second);
  usage->resident_bytes = resident_pages * static_cast<unsigned long long>(page_bytes);
  return true;
}

LimitedChild::~LimitedChild() {
  if (pid_ > 0) {
    KillGroup();
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (pidfd_ >= 0) close(pidfd_);
}

bool LimitedChild::Start(const std::string& path, const std::vector<std::string>& environment,
                         std::string* error) {
  // Everything the child needs is made before the fork: between fork and
  // exec a threaded process may only make async-signal-safe calls.
  const std::vector<std::string> argv = {path};
  std::vector<char*> args = ArgumentVector(argv);
  std::vector<char*> env = ArgumentVector(environment);
  const long open_max = std::min<long>(sysconf(_SC_OPEN_MAX) > 0 ? sysconf(_SC_OPEN_MAX) : 1024, 65536);
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
    *error = ErrorText("pipe", errno);
    return false;
  }
  const pid_t child = fork();
  if (child < 0) {
    *error = ErrorText("fork", errno);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    return false;
  }
  if (child == 0) {
    setpgid(0, 0);
    StandardStreamsToNull();
    // No socket, log or file of the server reaches the program: every
    // descriptor above the standard three closes at the exec (the report
    // pipe among them, which stays open until then).
    constexpr unsigned kCloseRangeCloexec = 1U << 2;
    if (syscall(SYS_close_range, 3U, ~0U, kCloseRangeCloexec) != 0) {
      for (int descriptor = 3; descriptor < open_max; ++descriptor)
        if (descriptor != pipe_ends[1]) close(descriptor);
    }
    // Signals as a program expects them: none blocked, and a broken pipe
    // ends it again (the server ignores that one, which an exec would keep).
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    execve(args[0], args.data(), env.data());
    const int exec_error = errno;
    WriteAllToPipe(pipe_ends[1], &exec_error, sizeof exec_error);
    _exit(127);
  }
  close(pipe_ends[1]);
  // Also from here, so a kill of the group cannot miss a child that has
  // not yet made its own.
  setpgid(child, child);
  int exec_error = 0;
  ssize_t got;
  do {
    got = read(pipe_ends[0], &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  close(pipe_ends[0]);
  if (got > 0) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    *error = ErrorText("cannot start", exec_error);
    return false;
  }
  pid_ = child;
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, child, 0U));
  return true;
}

bool LimitedChild::Wait(std::uint32_t timeout_ms, End* end) {
  if (pid_ <= 0) return false;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      end->exited = WIFEXITED(status);
      end->exit_code = end->exited ? WEXITSTATUS(status) : 0;
      end->signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      pid_ = -1;
      return true;
    }
    if (done < 0 && errno != EINTR) {
      pid_ = -1;  // not ours to reap any more
      *end = End{};
      return true;
    }
    if (timeout_ms == 0) return false;
    // With a process descriptor the wait ends when the program does;
    // without one it looks again every few milliseconds.
    const std::uint32_t step = pidfd_ >= 0 ? timeout_ms : std::min<std::uint32_t>(timeout_ms, 10);
    if (pidfd_ >= 0) {
      pollfd item{pidfd_, POLLIN, 0};
      if (poll(&item, 1, static_cast<int>(step)) < 0 && errno != EINTR) return false;
    } else {
      usleep(step * 1000);
    }
    timeout_ms -= step;
  }
}

void LimitedChild::KillGroup() {
  if (pid_ > 0) kill(-pid_, SIGKILL);
}

bool SystemdRuns() {
  struct stat info;
  return stat("/run/systemd/system", &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace quillon::platform
