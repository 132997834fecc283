// Reading the files a running server reloads (its configuration and the
// certificate and key that configuration names) with root's trust rules,
// also once the server serves as an unprivileged user.
//
// A server started as root that will serve as another user forks a small
// root helper first, while it is still its only thread. The helper is tied
// to the server by a socket pair: on each request it reads exactly one fixed
// set of files (the configuration file given at its start, then the files
// that the configuration's text names at that moment, through a function
// also fixed at its start), each only when root may trust it, and sends
// their bytes back. It runs nothing, reads no other path, and ends when the
// socket closes or the server ends.
//
// Thread-safety: ReadTrustedFile and ReadFileSet may be called from any
// thread. A PrivilegedReader is used by one thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace quillon::platform {

// One file as read for a reload.
struct FileContent {
  std::string path;
  bool read = false;     // `bytes` holds the whole file
  bool missing = false;  // nothing exists at the path
  std::string bytes;
  std::string error;     // why it was not read, as one line
};

// Larger files are not read.
inline constexpr std::size_t kMaxReloadFileBytes = 1 << 20;

// Reads the regular file at `path` (through a link at its end only with
// `follow_link`; never waiting on a FIFO or a device), at most
// kMaxReloadFileBytes. When this process is root, the file must first pass
// CheckRootOnlyFile(path, `untrusted_uid`); a file that does not is not read.
FileContent ReadTrustedFile(const std::string& path, long untrusted_uid, bool follow_link);

// The paths a configuration's text names, in a fixed order ("" for one
// it does not name).
using NamedFiles = std::function<std::vector<std::string>(const std::string& text)>;

// Reads `config_path` (a missing file counts as an empty one; a link there
// is refused), then each path that `named` finds in its text (links
// followed, as the first load does), then each of `fixed_paths` (a link
// refused; missing is told, not an error), all with ReadTrustedFile: the
// configuration first, then one entry per named path (not read for ""),
// then one per fixed path. Only the configuration when it cannot be read.
std::vector<FileContent> ReadFileSet(const std::string& config_path, const NamedFiles& named,
                                     long untrusted_uid, const std::vector<std::string>& fixed_paths = {});

class PrivilegedReader {
 public:
  // How long a request waits for the helper's answer.
  static constexpr int kAnswerTimeoutMs = 10'000;

  PrivilegedReader() = default;
  ~PrivilegedReader();
  PrivilegedReader(const PrivilegedReader&) = delete;
  PrivilegedReader& operator=(const PrivilegedReader&) = delete;

  // Forks the helper, which answers each request with ReadFileSet(
  // `config_path`, `named`, `untrusted_uid`, `fixed_paths`). False with
  // *error when it cannot start. REQUIRES: no other thread of the process
  // has started.
  [[nodiscard]] bool Start(const std::string& config_path, NamedFiles named, long untrusted_uid,
                           std::string* error, std::vector<std::string> fixed_paths = {});
  bool IsStarted() const { return socket_ >= 0; }
  // Asks the helper for the files. False with *error when it has ended or
  // does not answer in time (it is then given up for good).
  [[nodiscard]] bool Read(std::vector<FileContent>* files, std::string* error);

 private:
  void GiveUp();

  int socket_ = -1;
  int helper_ = -1;
};

}  // namespace quillon::platform
