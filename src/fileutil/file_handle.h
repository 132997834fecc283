// An open file (or none) with an end-of-file flag. Closed by its destructor.
//
// Thread-safety: owned and used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/fs.h"

namespace quillon::platform {
class Event;
}

namespace quillon::runtime {
class TcpSocket;
}

namespace quillon::fileutil {

class FileHandle {
 public:
  // A write that makes no progress is retried this often...
  static constexpr std::uint32_t kWriteRetryMs = 2;
  // ...and fails once it has made none for this long.
  static constexpr std::uint32_t kWriteStallLimitMs = 5000;
  // Permissions of files created by Open (less the umask).
  static constexpr unsigned kSharedFile = 0644;
  static constexpr unsigned kOwnerOnlyFile = 0600;

  // How Open opens a file.
  enum class Mode {
    kRead,           // read an existing file, from the start
    kReadOrCreate,   // read, creating the file empty when absent
    kWrite,          // write an existing file, positioned at its end
    kWriteOrCreate,  // write, creating the file when absent, positioned at its end
  };

  // `clock` (may be null: the system clock) times the write retries.
  explicit FileHandle(platform::Clock* clock = nullptr) : clock_(clock) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // Closes any open file first. False when the file cannot be opened or is
  // not a regular file (a folder, FIFO, socket or device); ErrorNumber()
  // then tells why.
  // `links`: platform::Links::kRefuse for the program's own files.
  [[nodiscard]] bool Open(const std::string& path, Mode mode,
                          unsigned create_permissions = kSharedFile,
                          platform::Links links = platform::Links::kFollow);
  // Creates and opens for writing a file that must not exist yet: false
  // (EEXIST) when anything is at `path`, a link included.
  [[nodiscard]] bool CreateNew(const std::string& path, unsigned permissions = kSharedFile);
  // Creates and opens for writing a new, empty, owner-only file with a
  // unique name beginning with `prefix` in `folder`; its path goes to *path.
  [[nodiscard]] bool CreateUnique(const std::string& folder, const std::string& prefix,
                                  std::string* path);
  bool IsOpen() const { return descriptor_ >= 0; }
  // Flushes written data to the disk.
  [[nodiscard]] bool Flush();
  void Close();

  // Bytes read; sets the end-of-file flag when fewer than `count` came.
  std::size_t Read(void* buffer, std::size_t count);
  // Sends up to *count bytes from the current position to `socket` without
  // copying them through this process (the position moves on). False when
  // the socket failed; at the end of the file AtEnd() becomes true.
  [[nodiscard]] bool SendTo(runtime::TcpSocket& socket, std::size_t* count);
  // Writes every byte. A write that fails outright fails at once; one that
  // makes no progress is retried every kWriteRetryMs for kWriteStallLimitMs,
  // and gives up early when `stop` (may be null) is set.
  [[nodiscard]] bool WriteAll(const void* bytes, std::size_t count,
                              const platform::Event* stop = nullptr);
  // The text followed by CR LF.
  [[nodiscard]] bool WriteLine(std::string_view text);
  // Reads up to the next CR (a LF right after it is consumed too) into
  // `line`, keeping at most capacity - 1 characters of it. False at the end
  // of the file with nothing read.
  bool ReadLine(std::string* line, std::size_t capacity);

  // 64-bit: files of 4 GiB and more are whole.
  std::uint64_t Size() const;
  // Sets the end-of-file flag when `offset` is at or past the end.
  bool SeekTo(std::uint64_t offset);
  bool SeekToEnd();
  // Cuts the file to `size` bytes (the position stays). False with
  // ErrorNumber() when the file is not open for writing or the cut failed.
  [[nodiscard]] bool Truncate(std::uint64_t size);
  bool Rewind() { return SeekTo(0); }
  std::uint64_t Position() const;
  bool AtEnd() const { return at_end_; }

  // Times of the open file; `changed` stands in for a creation time, which
  // the file system does not keep. Null arguments are skipped.
  bool GetTimes(platform::FileTime* changed, platform::FileTime* last_access,
                platform::FileTime* last_write) const;
  // Sets the access and last-write times (null leaves one unchanged).
  bool SetTimes(const platform::FileTime* last_access, const platform::FileTime* last_write);
  // The last-write time as an HTTP date in local time; "" when unreadable.
  std::string LastWriteText() const;

  // errno of the last failure, 0 when none.
  int ErrorNumber() const { return error_; }

 private:
  platform::Clock* clock_;
  int descriptor_ = -1;
  bool at_end_ = false;
  int error_ = 0;
};

// Moves a regular file to another file system: copies it into a new file at
// `to` (failing when anything is there) with its permissions and times,
// then deletes `from`. On any failure the copy is removed and `from` stays.
[[nodiscard]] bool MoveFileAcrossFileSystems(const std::string& from, const std::string& to);

// Writes `text` to a new owner-only file at `path` (mode 0600 less the
// umask), owned by the process's effective user. An old regular file there is
// removed first; anything else there (a link, a folder) is left alone and
// refused, so the text never reaches a file through a name that someone else
// put in the folder. False with *message (the reason) when the file cannot
// be made or written; a file begun is then removed.
[[nodiscard]] bool WriteNewOwnerOnlyFile(const std::string& path, std::string_view text, std::string* message);

// Reads a whole file into *bytes. False when it cannot be opened, is a
// folder, or is larger than `max_bytes`.
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::uint64_t max_bytes,
                                 std::string* bytes,
                                 platform::Links links = platform::Links::kFollow);

}  // namespace quillon::fileutil
