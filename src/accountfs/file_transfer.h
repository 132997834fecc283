// One running file or listing transfer of an account: its source or target
// file, the limits of the place the file lies in, and the credit and space
// accounting of every chunk that moves.
//
// Thread-safety: the transfer belongs to one session thread. The fields the
// account changes while the transfer runs (limits, usable) are guarded by
// the account lock, which Read and Write take for their bookkeeping; the
// transfer has no lock of its own, so the account lock is never waited for
// while a transfer lock is held (and the other way round).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "accountfs/account_file_system.h"
#include "fileutil/file_handle.h"
#include "fileutil/folder_size_cache.h"

namespace quillon::accountfs {

class FileTransfer {
 public:
  enum class Kind { kDownload = 0, kUpload = 1, kListing = 2 };

  struct Setup {
    Kind kind = Kind::kDownload;
    std::unique_ptr<fileutil::FileHandle> source;          // the open file
    fileutil::FolderSizeCache::Hold entry;  // the parent folder's entry; writes add to it
    std::string file_path;                       // disk path
    std::string ftp_path;
    std::string temporary_file;                  // deleted at destruction when not empty
    bool delete_if_aborted = false;              // new uploads and listings
    bool credit_free = false;                    // listings
    AreaLimits limits;
  };

  FileTransfer(AccountFileSystem& account, Setup setup);
  // Closes the source; deletes the file when the transfer was aborted and
  // the file is to go then, taking the bytes it wrote off the folder sizes
  // and the credits they earned off the balance (which stops at 0; what the
  // upload cost stays paid); releases the folder-size entry; deletes the
  // temporary file.
  ~FileTransfer();
  FileTransfer(const FileTransfer&) = delete;
  FileTransfer& operator=(const FileTransfer&) = delete;

  // Reads up to *length bytes into `buffer` and books their credits. False,
  // with *length 0 and the reason, when the transfer is unusable or the
  // credits ran out (the source is then closed).
  [[nodiscard]] bool Read(void* buffer, std::size_t* length, std::string* reason);
  // A download that no credits meter: sends up to *length bytes straight
  // from the file to `socket` (*length: how many went). False with the
  // reason when the source is unusable; a failing socket is left for the
  // caller to see in its state.
  [[nodiscard]] bool SendTo(runtime::TcpSocket& socket, std::size_t* length, std::string* reason);
  // Writes `length` bytes, or as many as the account's and the folder's
  // space allows, booking their credits first. False with the reason when
  // nothing more may or could be written (the allowed part is written).
  [[nodiscard]] bool Write(const void* buffer, std::size_t length, std::string* reason);
  // The source reported the end of its data.
  bool IsFinished() const { return finished_; }

  // Aborted and unusable: an aborted new upload is deleted at destruction.
  void MarkFailed();
  // Unusable: the next Read or Write fails.
  void Disable();
  // New limits after a record or settings change. REQUIRES: account lock held.
  void ReconfigureLocked(const AreaLimits& limits);

  // The size of the source file when the transfer opened (downloads; 0 for
  // the others).
  std::uint64_t SourceSize() const { return source_size_; }
  // Bytes the writes of this transfer put into the file.
  std::uint64_t BytesWritten() const { return written_; }
  const std::string& FilePath() const { return file_path_; }
  const std::string& FtpPath() const { return ftp_path_; }
  Kind GetKind() const { return kind_; }

 private:
  bool Fail(const char* reason_text, std::string* reason);

  AccountFileSystem& account_;
  const Kind kind_;
  std::unique_ptr<fileutil::FileHandle> source_;
  const fileutil::FolderSizeCache::Hold entry_;
  const std::string file_path_;
  const std::string ftp_path_;
  const std::string temporary_file_;
  const bool delete_if_aborted_;
  const bool credit_free_;
  AreaLimits limits_;  // guarded by the account lock
  std::atomic<bool> aborted_{false};
  std::atomic<bool> usable_{true};
  bool finished_ = false;
  std::uint32_t credit_remainder_ = 0;
  const std::uint64_t source_size_;
  std::uint64_t written_ = 0;  // bytes added to the folder-size entry
  std::uint64_t credits_earned_ = 0;  // what writes added to the balance
};

}  // namespace quillon::accountfs
