// Keeps a stored file that a load found damaged from costing data. Its
// original bytes are copied aside into its own folder as
// "<name>.damaged-YYYYMMDD-HHMMSS" (UTC; "-2", "-3", ... appended when that
// name is taken), owner-only, through the safe file writer, before anything
// may be saved over it; while that copy cannot be written, saves over the
// file are refused. A copy that already holds the same bytes is used again,
// so loading the same damaged file twice (a retried load, another program)
// keeps one copy.
//
// Thread-safety: every operation takes the guard's own lock.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "fileutil/file_writer.h"

namespace quillon::fileutil {

// What a load found wrong with one file.
struct DamageReport {
  std::string file;         // as an administrator names it: "config/accounts.dta"
  std::string detail;       // what is wrong: "5 of 40 records read"
  std::string consequence;  // what the load fell back to, or ""
  std::string kept;         // the copy ("config/accounts.dta.damaged-..."), "" when not written
  // "config/accounts.dta: 5 of 40 records read; the original is kept as
  // config/accounts.dta.damaged-20261208-173000".
  std::string Text() const;
};

class DamagedFileGuard {
 public:
  static constexpr std::string_view kCopyMark = ".damaged-";
  // Copies of one file with other bytes that may share a second's name.
  static constexpr int kMaxSuffix = 100;

  // `path`: the stored file. `writer` writes the copies, `clock` dates them;
  // both must outlive the guard.
  DamagedFileGuard(std::string path, FileWriter& writer, platform::Clock& clock);

  // The last load found the file sound, absent or unreadable.
  void Clear();
  // The last load found the file damaged: `bytes` is the file as read,
  // `detail` what is wrong and `consequence` (may be "") what the load fell
  // back to. Copies the bytes aside at once.
  void Found(std::string_view bytes, std::string detail, std::string consequence = {});
  // True when a save may replace the file: the last load found it sound, or
  // its original is kept aside (a copy that failed before is tried again).
  [[nodiscard]] bool SaveAllowed();
  // What the last load found; none when it found the file sound.
  std::optional<DamageReport> Report() const;

 private:
  // Writes the copy unless done. REQUIRES: lock_ held.
  bool KeepLocked();
  // The name of an earlier copy with these bytes, or "".
  std::string EarlierCopyLocked() const;

  const std::string path_;
  const std::string folder_;
  const std::string name_;
  const std::string shown_folder_;  // "config/"
  FileWriter& writer_;
  platform::Clock& clock_;
  mutable std::mutex lock_;
  bool damaged_ = false;   // guarded by lock_
  std::string original_;   // guarded by lock_
  DamageReport report_;    // guarded by lock_
};

}  // namespace quillon::fileutil
