// The transfer half of an FTP session: a download, upload or listing opened
// through the logged-in account and moved one step per pass of the
// session's command loop. A step says what to wait for, or how the transfer
// ended (its replies, log text and activity); the session sends and logs.
//
// Thread-safety: belongs to its session's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "access/active_account.h"
#include "accountfs/file_transfer.h"
#include "ftp/transfer_log.h"
#include "platform/clock.h"
#include "runtime/limits.h"
#include "runtime/line_socket.h"

namespace quillon::ftp {

class TransferLoop {
 public:
  using Kind = accountfs::FileTransfer::Kind;

  // Bytes moved per step while credits or speed limits meter the transfer
  // (their bookkeeping works at this grain)...
  static constexpr std::uint32_t kMeteredChunk = limits::kMeteredChunk;
  // ...and when nothing meters it.
  static constexpr std::uint32_t kFreeChunk = limits::kFreeChunk;
  // ...and when nothing meters it and it is encrypted in this process.
  static constexpr std::uint32_t kTlsChunk = limits::kTlsChunk;
  // An unmetered download goes from the file to the socket without a copy,
  // as much per step as the socket takes, up to this.
  static constexpr std::uint32_t kDirectStep = limits::kDirectStep;

  // How a transfer ended.
  struct Ending {
    std::vector<std::string> replies;
    std::vector<std::string> logs;  // the FTP log's lines, in order
    const char* activity = nullptr;
    access::TransferState state = access::TransferState::kCompleted;
    std::uint64_t moved = 0;  // bytes the transfer moved in all
  };
  // What became of a file transfer (not a listing) that ended.
  struct Outcome {
    Kind kind = Kind::kDownload;
    std::string item;
    bool completed = false;
    TransferFigures figures;
    access::TransferState state = access::TransferState::kCompleted;
    std::string disk_path;  // the file on disk
  };
  enum class Wait {
    kNone,      // step again at once
    kReadable,  // until the data socket has bytes (or the control line, a stop...)
    kWritable,  // until the data socket takes bytes
    kRefill,    // a moment: the speed limits refill
  };
  struct Step {
    Wait wait = Wait::kNone;
    bool progressed = false;  // bytes moved: the session counts as active
    bool ended = false;
    Ending ending;            // when ended
  };

  bool IsRunning() const { return transfer_ != nullptr; }
  Kind GetKind() const { return kind_; }
  // The FTP path of the file or folder (kept after the end for the activity).
  const std::string& Item() const { return item_; }
  // Bytes the transfer has moved: a download's sent, an upload's written.
  std::uint64_t Moved() const;
  // What a download is to move (the file from its offset, as opened); -1
  // for uploads and listings.
  std::int64_t SizeToMove() const { return size_; }

  // What to open besides the kind and path.
  struct Options {
    // Downloads start here; uploads other than appends keep the bytes
    // before it and write from here on.
    std::uint64_t offset = 0;
    bool append = false;       // uploads append
    accountfs::ListingStyle style = accountfs::ListingStyle::kLong;  // listings
    std::uint32_t facts = accountfs::kAllFacts;                      // MLSD listings
  };
  // Opens a transfer of `path` through `account`: a download, an upload or
  // a listing. False with the account's message.
  [[nodiscard]] bool Open(access::ActiveAccount& account, Kind kind, const std::string& path,
                          const Options& options, std::string* message);
  // The data connection `data` is open (and secured when it is to be): the
  // transfer starts moving. An unmetered download goes straight from the
  // file when `data` can send files, through the buffer otherwise. Its time
  // runs on `clock` from `opened_tick`, when the data connection opened.
  void Begin(const runtime::TcpSocket& data, platform::Clock& clock, std::uint32_t opened_tick);
  // The data connection could not be opened: the transfer is handed back as
  // failed; returns its log text.
  std::string Abandon(const char* reason);
  // One step over the open data connection.
  Step Next(runtime::LineSocket& data);
  // ABOR (no reason) or an administrator's stop (with the reason): the next
  // step ends the transfer.
  void Stop(std::string reason);
  // Hands a running transfer back as failed (the session is ending);
  // returns the log text of an upload cut short so ("" for anything else).
  std::string Abort();
  // Marks a running transfer failed, so ending it keeps nothing it made.
  void MarkFailed();
  // The outcome of the file transfer that ended last (by a step, Abandon or
  // Abort), once; nothing after a listing or when already taken.
  std::optional<Outcome> TakeOutcome() { return std::exchange(outcome_, std::nullopt); }

 private:
  Step DownloadStep(runtime::LineSocket& data);
  Step DirectStep(runtime::LineSocket& data);
  // After a step that moved a whole chunk (the buffer holds nothing): the
  // chunk takes its limit.
  void GrowChunk();
  Step UploadStep(runtime::LineSocket& data);
  // The end of an upload whose data connection has closed.
  Step UploadEnded(const runtime::LineSocket& data);
  // How End closes the transfer: handed back as it is, or marked failed
  // first (ending it then keeps nothing it made).
  enum class Closing { kHandBack, kMarkFailed };
  // Ends the transfer as done (`reason` null) or failed for `reason`, with
  // its log line unless `logged` is false (the replies say why).
  Step End(Closing closing, const char* reason, std::vector<std::string> replies, bool logged = true);
  // Hands the transfer back and keeps its outcome; returns its log line.
  std::string Close(const char* reason);
  // The activity text of a transfer that ended so.
  const char* EndActivity(access::TransferState state) const;

  access::ActiveAccount* account_ = nullptr;
  accountfs::FileTransfer* transfer_ = nullptr;
  Kind kind_ = Kind::kDownload;
  std::string item_;
  std::unique_ptr<char[]> buffer_;  // chunk_ bytes (or more) while a transfer runs
  std::uint32_t buffer_size_ = 0;
  std::uint32_t chunk_ = kMeteredChunk;
  std::uint32_t chunk_limit_ = kMeteredChunk;  // what chunk_ may grow to
  bool direct_ = false;  // a download sent straight from the file
  std::size_t pending_offset_ = 0;  // download bytes read but not yet sent
  std::size_t pending_bytes_ = 0;
  bool stop_ = false;
  std::string stop_reason_;
  // What moves: the clock, when the data connection opened, the bytes sent
  // (a download's; an upload counts what its file took).
  platform::Clock* clock_ = nullptr;
  std::uint32_t opened_tick_ = 0;
  std::uint64_t sent_ = 0;
  std::int64_t size_ = -1;
  std::optional<Outcome> outcome_;
};

}  // namespace quillon::ftp
