// Fetches a newer program file from the update server over HTTP and puts it
// in place of the program file; the old one stays beside it with ".old"
// appended, and the next start deletes it.
//
// The version file is asked for first; when the version it names is not
// newer than this program's, nothing more is done. Otherwise the program
// file's detached signature (the program path plus ".sig", 64 bytes) and
// then the program file are downloaded, the file into a temporary file
// beside the program file, and only a file whose Ed25519 signature verifies
// against the release key, and whose release mark (update/release_version.h)
// names the version the version file offers, is installed. Every failure
// (network, size, time, signature, version, file) ends in the failed state
// with the program file untouched and no temporary file left.
//
// Every answer must start with "HTTP/1.x 200" and announce its length, and
// no file may be longer than its limit: a program file longer than
// kProgramSizeCap is refused by its Content-Length, before anything is
// stored. Each file must arrive whole within its time from the connect
// (kSmallFileDeadlineMs for the version file and the signature,
// kProgramDeadlineMs for the program file), so the whole update ends within
// twenty-two minutes however slowly the server sends; kPeerSilenceMs still ends
// a fetch the server has stopped sending to.
//
// Thread-safety: the state and counters are read under the updater's lock
// from any thread; StartUpdate and StopUpdate from one owner thread.
// Constant after construction: the clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "runtime/critical_section.h"
#include "runtime/line_socket.h"
#include "runtime/worker_thread.h"
#include "fileutil/file_handle.h"

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
  // The longest program file taken (128 MiB): a program is tens of MiB
  // (more with its debugging information, and built with the sanitizers),
  // and nothing longer is written to disk or read back to check its
  // signature.
  static constexpr std::uint32_t kProgramSizeCap = 128u << 20;
  // How long each file may take from the connect to its last byte: the two
  // small ones a minute each, the program file twenty minutes (128 MiB at
  // about 110 KB per second).
  static constexpr std::uint32_t kSmallFileDeadlineMs = 60'000;
  static constexpr std::uint32_t kProgramDeadlineMs = 1'200'000;
  static constexpr const char* kOldSuffix = ".old";
  static constexpr const char* kSignatureSuffix = ".sig";

  // One file fetched from the update server: what failure texts call it,
  // the longest it may be and how long it may take.
  struct Fetch {
    const char* name;
    std::uint32_t size_cap;
    std::uint32_t deadline_ms;
  };

  struct Job {
    std::string program_file;  // full path of the file to replace
    std::string own_version;   // "1.03"
    UpdateSource source;
    std::string referer;       // "Quillon FTP Server 1.03"
    std::string public_key;    // 32 raw bytes of the release key
  };

  // Deadlines are counted by `clock`.
  explicit Updater(platform::Clock& clock) : clock_(clock) {}
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
  // Notes why the update failed. Refuse always notes its text and gives
  // false; Fail gives the failed state and notes its text unless a reason
  // was noted already (the more precise one, from further down, stands).
  State Fail(std::string text);
  bool Refuse(std::string text);
  // Starts `fetch`'s time, sends the request for `path` and reads the
  // answer's headers. True with a "HTTP/1.x 200" answer that has one
  // Content-Length no greater than the fetch's limit and no
  // Transfer-Encoding. False otherwise, with the reason noted when the
  // length is over the limit or the time is up.
  bool Request(const Fetch& fetch, const std::string& path);
  // Up to `limit` body bytes, until the connection closes.
  bool ReadBody(std::size_t limit, std::string* body);
  // Appends the body to `file` until the connection closes; false (with
  // the reason noted) when stopped, silent too long, out of time,
  // over-long or unwritable.
  bool Download(fileutil::FileHandle& file);
  State Install(const std::string& temporary, const std::string& signature,
                const std::string& offered);
  void SetState(State state);
  // True while the current fetch is within its time; false, with that
  // noted, once the time is up.
  bool InTime();
  // Waits until the socket can be read (or written), within the silence
  // limit and the fetch's time. False when stopped, silent or out of time
  // (only the last is noted).
  bool Await(bool readable);

  platform::Clock& clock_;
  Job job_;
  // Used by the updater's thread only: the file being fetched and when its
  // time is up (by clock_).
  const Fetch* fetch_ = nullptr;
  std::uint64_t deadline_ms_ = 0;
  runtime::LineSocket socket_;
  runtime::CriticalSection lock_;
  State state_ = kNotStarted;       // guarded by lock_
  std::uint32_t bytes_received_ = 0;  // guarded by lock_
  std::uint32_t content_length_ = 0;  // guarded by lock_
  std::string failure_;             // guarded by lock_
};

}  // namespace quillon::update
