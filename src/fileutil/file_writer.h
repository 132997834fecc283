// Replaces whole files safely: the new contents go to a temporary file in
// the same folder, which is flushed to the disk and then renamed over the
// old file. A crash, a full disk or a failed write leaves the old file whole.
//
// Tests derive from it to make the write step fail.
//
// Thread-safety: stateless; OrderedSave below serialises the saves of one file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "fileutil/file_handle.h"

namespace quillon::fileutil {

class FileWriter {
 public:
  virtual ~FileWriter() = default;

  // Replaces the file at `path` with `bytes`; the file gets `permissions`
  // (for example FileHandle::kOwnerOnlyFile). False, with the old file left
  // as it was and no temporary file left behind, when any step fails.
  [[nodiscard]] bool ReplaceFile(const std::string& path, std::string_view bytes,
                                 unsigned permissions);
  // Writes `bytes` to a new file at `path` the same way, but never replaces
  // anything there, a link included: false with *taken true when the name
  // is in use (then nothing is written), false with *taken false when a
  // step fails.
  [[nodiscard]] bool CreateNewFile(const std::string& path, std::string_view bytes,
                                   unsigned permissions, bool* taken);

 protected:
  // Writes the new contents into the open temporary file.
  virtual bool WriteContents(FileHandle& file, std::string_view bytes);

 private:
  // Writes a flushed temporary file beside `path` with `permissions`; its
  // name goes to *temporary. False (nothing left behind) when a step fails.
  bool WriteTemporary(const std::string& path, std::string_view bytes, unsigned permissions,
                      std::string* temporary);
};

// Removes from `folder` the temporary files that saves ended midway (a kill,
// a power cut) left behind: names "<file>.tmp.XXXXXX" as ReplaceFile makes
// them. Returns how many went. REQUIRES: no save into `folder` runs now
// (the caller holds the installation's instance lock).
std::size_t RemoveStaleTemporaries(const std::string& folder);

// The saves of one file, in the order their contents were taken. A saver
// takes a ticket while it still holds the lock that guards the contents,
// lets go of that lock, and then writes: the slow part (the flush to disk)
// never holds up whoever needs the contents' lock. Writes of one file never
// overlap, and a write whose contents are older than those already written
// is skipped.
//
// Thread-safety: Ticket and Write may be called from any thread.
class OrderedSave {
 public:
  // REQUIRES: the lock that guards the contents is held.
  std::uint64_t Ticket() { return next_ticket_.fetch_add(1) + 1; }
  // Writes `bytes` through `writer` unless a later ticket's contents are
  // on disk already (then true: nothing newer is lost).
  [[nodiscard]] bool Write(std::uint64_t ticket, FileWriter& writer, const std::string& path,
                           std::string_view bytes, unsigned permissions);
  // As Write, but only when `wanted` (asked in turn, after the older saves)
  // says so; a save not wanted still counts as written.
  [[nodiscard]] bool WriteIf(std::uint64_t ticket, FileWriter& writer, const std::string& path,
                             std::string_view bytes, unsigned permissions, const std::function<bool()>& wanted);

 private:
  std::atomic<std::uint64_t> next_ticket_{0};
  std::mutex write_lock_;
  std::uint64_t written_ = 0;  // guarded by write_lock_
};

}  // namespace quillon::fileutil
