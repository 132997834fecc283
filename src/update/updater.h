// Fetches a newer program file from the update server over HTTP and puts it
// in place of the program file; the old one stays beside it with ".old"
// appended, and the next start deletes it.
//
// The version file is asked for first; when it holds exactly this program's
// version text, nothing more is done. Otherwise the program file's detached
// signature (the program path plus ".sig", 64 bytes) and then the program
// file are downloaded, the file into a temporary file beside the program
// file, and only a file whose Ed25519 signature verifies against the release
// key is installed. Every failure (network, size, signature, file) ends in
// the failed state with the program file untouched.
//
// Thread-safety: the state and counters are read under the updater's lock
// from any thread; StartUpdate and StopUpdate from one owner thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/critical_section.h"
#include "runtime/line_socket.h"
#include "runtime/worker_thread.h"
#include "vfs/file_handle.h"

namespace quillon::update {

// Where updates come from.
struct UpdateSource {
  std::string host;
  std::uint16_t port = 80;
  std::string program_path;  // the program file; its signature is this plus ".sig"
  std::string version_path;  // the version text of the newest program
};

// "http://host[:port][/folder]": the two files below the folder's
// "updates/". Nothing for other forms.
std::optional<UpdateSource> SourceFromUrl(std::string_view url);
// QUILLON_UPDATE_URL when it is set (and well formed), else the update
// server this build was configured with.
UpdateSource ConfiguredSource();

// What the "Updating" dialog shows for a state: the status line, the
// progress (0 to 100; none leaves the bar as it is) and whether the update
// has ended (the button then reads "&Close").
struct UpdateProgress {
  std::string status;
  std::optional<int> percent;
  bool ended = false;
};
UpdateProgress DescribeUpdate(std::uint32_t state, std::uint32_t bytes_received,
                              std::uint32_t content_length);

class Updater final : public runtime::WorkerThread {
 public:
  enum State : std::uint32_t {
    kNotStarted = 0,
    kLooking = 1,
    kDownloading = 2,
    kInstalled = 3,
    kNoUpdate = 4,
    kFailed = 5,
  };
  static constexpr std::size_t kHeaderLineCapacity = 1024;
  static constexpr std::size_t kVersionReadBytes = 49;
  static constexpr std::size_t kDownloadPiece = 1024;
  // A server that sends nothing for this long has failed (it could
  // otherwise hold the download open for ever).
  static constexpr std::uint32_t kPeerSilenceMs = 60'000;
  static constexpr const char* kOldSuffix = ".old";
  static constexpr const char* kSignatureSuffix = ".sig";

  struct Job {
    std::string program_file;  // full path of the file to replace
    std::string own_version;   // "1.03"
    UpdateSource source;
    std::string referer;       // "Quillon FTP Server 1.03"
    std::string public_key;    // 32 raw bytes of the release key
  };

  Updater() = default;
  ~Updater() override;

  // Starts the thread (false when it already runs or cannot start); the
  // state is then "looking" and both counters 0.
  [[nodiscard]] bool StartUpdate(const Job& job);
  // Stops the thread, waiting for it to end.
  void StopUpdate() { Stop(kStopWaitMs); }

  State GetState();
  std::uint32_t BytesReceived();
  std::uint32_t ContentLength();
  // Why the update failed, for the log and the command line ("" otherwise).
  std::string FailureText();

 private:
  void ThreadBody() override;
  State Run();
  // Notes why the update failed: Fail gives the failed state, Refuse false.
  State Fail(std::string text);
  bool Refuse(std::string text);
  // Sends the request for `path` and reads the response's headers; true
  // with a 200 answer that has a Content-Length.
  bool Request(const std::string& path);
  // Up to `limit` body bytes, until the connection closes.
  bool ReadBody(std::size_t limit, std::string* body);
  // Appends the body to `file` until the connection closes; false (with
  // the reason noted) when stopped, silent too long, over-long or unwritable.
  bool Download(vfs::FileHandle& file);
  State Install(const std::string& temporary, const std::string& signature);
  void SetState(State state);

  Job job_;
  runtime::LineSocket socket_;
  runtime::CriticalSection lock_;
  State state_ = kNotStarted;       // guarded by lock_
  std::uint32_t bytes_received_ = 0;  // guarded by lock_
  std::uint32_t content_length_ = 0;  // guarded by lock_
  std::string failure_;             // guarded by lock_
};

}  // namespace quillon::update
