#include "platform/privileged_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "platform/users.h"

namespace quillon::platform {

namespace {

constexpr std::size_t kMaxFiles = 8;
constexpr std::size_t kMaxTextBytes = 8192;  // a path or an error line
constexpr char kRequest = 'R';

std::string ErrorText(int error) { return std::strerror(error); }

std::string TooLarge(const std::string& path) {
  return path + ": larger than " + std::to_string(kMaxReloadFileBytes) + " bytes";
}

// --- The wire: per file a flag byte, then path, bytes and error, each as a
// 32-bit length and its bytes; the whole answer begins with the count.

void PutNumber(std::string* out, std::uint32_t value) {
  out->append(reinterpret_cast<const char*>(&value), sizeof value);
}

void PutText(std::string* out, const std::string& text) {
  PutNumber(out, static_cast<std::uint32_t>(text.size()));
  out->append(text);
}

std::string Encode(const std::vector<FileContent>& files) {
  std::string out;
  PutNumber(&out, static_cast<std::uint32_t>(files.size()));
  for (const FileContent& file : files) {
    out.push_back(static_cast<char>((file.read ? 1 : 0) | (file.missing ? 2 : 0)));
    PutText(&out, file.path);
    PutText(&out, file.bytes);
    PutText(&out, file.error);
  }
  return out;
}

bool WriteAll(int descriptor, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = send(descriptor, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

std::int64_t NowMs() {
  timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// Reads exactly `count` bytes before `deadline` (a NowMs time); false on
// the end of the stream, an error or the deadline.
bool ReadExactly(int descriptor, void* buffer, std::size_t count, std::int64_t deadline) {
  char* at = static_cast<char*>(buffer);
  while (count > 0) {
    const std::int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd item{descriptor, POLLIN, 0};
    const int ready = poll(&item, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t got = recv(descriptor, at, count, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

bool ReadText(int descriptor, std::size_t most, std::string* text, std::int64_t deadline) {
  std::uint32_t length = 0;
  if (!ReadExactly(descriptor, &length, sizeof length, deadline) || length > most) return false;
  text->resize(length);
  return length == 0 || ReadExactly(descriptor, text->data(), length, deadline);
}

bool Decode(int descriptor, std::vector<FileContent>* files, std::int64_t deadline) {
  std::uint32_t count = 0;
  if (!ReadExactly(descriptor, &count, sizeof count, deadline) || count == 0 || count > kMaxFiles)
    return false;
  files->assign(count, FileContent{});
  for (FileContent& file : *files) {
    char flags = 0;
    if (!ReadExactly(descriptor, &flags, 1, deadline) ||
        !ReadText(descriptor, kMaxTextBytes, &file.path, deadline) ||
        !ReadText(descriptor, kMaxReloadFileBytes, &file.bytes, deadline) ||
        !ReadText(descriptor, kMaxTextBytes, &file.error, deadline))
      return false;
    file.read = (flags & 1) != 0;
    file.missing = (flags & 2) != 0;
  }
  return true;
}

// The helper's life: one answer per request until the server goes away.
[[noreturn]] void ServeRequests(int descriptor, const std::string& config_path,
                                const NamedFiles& named, long untrusted_uid,
                                const std::vector<std::string>& fixed_paths) {
  for (;;) {
    char request = 0;
    const ssize_t got = recv(descriptor, &request, 1, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got != 1 || request != kRequest) _exit(0);
    if (!WriteAll(descriptor, Encode(ReadFileSet(config_path, named, untrusted_uid, fixed_paths)))) _exit(0);
  }
}

}  // namespace

FileContent ReadTrustedFile(const std::string& path, long untrusted_uid, bool follow_link) {
  FileContent file;
  file.path = path;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    file.missing = errno == ENOENT;
    file.error = path + ": " + ErrorText(errno);
    return file;
  }
  if (geteuid() == 0 && !CheckRootOnlyFile(path, untrusted_uid, &file.error)) {
    file.error += "; root reads only files that root alone can change";
    return file;
  }
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                                (follow_link ? 0 : O_NOFOLLOW));
  if (descriptor < 0) {
    file.error = path + ": " + ErrorText(errno);
    return file;
  }
  if (fstat(descriptor, &st) != 0 || !S_ISREG(st.st_mode)) {
    file.error = path + ": not a regular file";
  } else if (static_cast<std::uint64_t>(st.st_size) > kMaxReloadFileBytes) {
    file.error = TooLarge(path);
  } else {
    char buffer[16384];
    for (;;) {
      const ssize_t got = read(descriptor, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        file.error = path + ": " + ErrorText(errno);
        break;
      }
      if (got == 0) {
        file.read = true;
        break;
      }
      file.bytes.append(buffer, static_cast<std::size_t>(got));
      if (file.bytes.size() > kMaxReloadFileBytes) {
        file.error = TooLarge(path);
        break;
      }
    }
  }
  close(descriptor);
  if (!file.read) file.bytes.clear();
  return file;
}

std::vector<FileContent> ReadFileSet(const std::string& config_path, const NamedFiles& named,
                                     long untrusted_uid, const std::vector<std::string>& fixed_paths) {
  std::vector<FileContent> files;
  files.push_back(ReadTrustedFile(config_path, untrusted_uid, false));
  FileContent& config = files.front();
  if (config.missing) {
    config.read = true;
    config.error.clear();
  }
  if (!config.read) return files;
  const std::string text = config.bytes;
  for (const std::string& path : named(text)) {
    if (files.size() == kMaxFiles) break;
    if (path.empty()) {
      files.push_back(FileContent{});
      continue;
    }
    files.push_back(ReadTrustedFile(path, untrusted_uid, true));
  }
  for (const std::string& path : fixed_paths) {
    if (files.size() == kMaxFiles) break;
    files.push_back(ReadTrustedFile(path, untrusted_uid, false));
  }
  return files;
}

PrivilegedReader::~PrivilegedReader() { GiveUp(); }

void PrivilegedReader::GiveUp() {
  if (socket_ >= 0) close(socket_);  // the helper reads the end and ends
  socket_ = -1;
  // Reaped when it has ended already; one that hangs cannot be killed once
  // the server serves as its user, and is left to end with the server.
  if (helper_ > 0) {
    while (waitpid(helper_, nullptr, WNOHANG) < 0 && errno == EINTR) {
    }
  }
  helper_ = -1;
}

bool PrivilegedReader::Start(const std::string& config_path, NamedFiles named, long untrusted_uid,
                             std::string* error, std::vector<std::string> fixed_paths) {
  GiveUp();
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    *error = "Unable to start the reading helper: " + ErrorText(errno);
    return false;
  }
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    *error = "Unable to start the reading helper: " + ErrorText(errno);
    close(ends[0]);
    close(ends[1]);
    return false;
  }
  if (child == 0) {
    // Ends with the server, even when the server is killed outright.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(0);
    // A hang-up or interrupt meant for the server (a terminal's, or a
    // reload sent to every process of the service) leaves the helper be.
    signal(SIGHUP, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    // Nothing of the server stays open here but the socket: not its
    // instance lock, not its log.
    if (dup2(ends[1], 3) < 0) _exit(0);
    close_range(4, ~0U, 0);
    ServeRequests(3, config_path, named, untrusted_uid, fixed_paths);
  }
  close(ends[1]);
  socket_ = ends[0];
  helper_ = child;
  return true;
}

bool PrivilegedReader::Read(std::vector<FileContent>* files, std::string* error) {
  if (socket_ < 0) {
    *error = "the root helper that reads the configuration has ended; restart the server";
    return false;
  }
  const std::int64_t deadline = NowMs() + kAnswerTimeoutMs;
  if (!WriteAll(socket_, std::string(1, kRequest)) || !Decode(socket_, files, deadline)) {
    GiveUp();
    files->clear();
    *error = "the root helper that reads the configuration has ended; restart the server";
    return false;
  }
  return true;
}

}  // namespace quillon::platform
