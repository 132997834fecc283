// A plain-text log: one line per event, "<local date and time> -> <text>"
// followed by CR LF, e.g. "Sat, 05 Dec 2026 04:07:09 -> text".
//
// A numbered log (SetPrefix) writes to prefix + number + ".txt" and moves on
// to the next number once the current file has grown past its size limit.
// A fixed-path log (SetFixedPath, the account logs) never moves on and its
// file is created owner-only. The file is opened and closed for each line, so
// other programs can read or remove it at any time.
//
// Thread-safety: every operation takes the log's lock; lines from different
// threads never interleave.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "runtime/critical_section.h"

namespace quillon::settings {

// The numbered logs of the program folder: "logs/ftp_<n>.txt" and
// "logs/remoteadmin_<n>.txt".
inline constexpr const char* kLogsFolder = "logs";
inline constexpr const char* kFtpLogName = "ftp_";
inline constexpr const char* kAdminLogName = "remoteadmin_";

// "<local date and time> -> <text>" without the line end; control bytes of
// the text (below 0x20, and 0x7F) are written as "\x0A"-style escapes.
std::string FormatLogLine(platform::Clock& clock, std::string_view text);

class LogFile {
 public:
  static constexpr std::uint32_t kDefaultSizeLimit = 51200;
  static constexpr std::size_t kPrefixCapacity = 220;
  static constexpr std::size_t kPathCapacity = 257;

  LogFile(platform::Clock& clock, std::uint32_t number = 0,
          std::uint32_t size_limit = kDefaultSizeLimit);

  // Makes this a numbered log writing to prefix + number + ".txt" in
  // `folder` ("" when the prefix says where). The capacities apply to the
  // prefix and to the file name, never to the folder, so a long program
  // folder cannot cut or merge the names of its logs.
  void SetPrefix(std::string_view folder, std::string_view prefix);
  void SetPrefix(std::string_view prefix) { SetPrefix({}, prefix); }
  // Makes every line go to `name` in `folder` (numbering stays as it was:
  // off unless a prefix was set).
  void SetFixedPath(std::string_view folder, std::string_view name);
  void SetFixedPath(std::string_view path) { SetFixedPath({}, path); }
  std::uint32_t Number();
  void SetNumber(std::uint32_t number);
  std::string CurrentPath();

  // Appends one line. False when the file cannot be opened or written (a
  // log with neither prefix nor path fails and creates nothing).
  [[nodiscard]] bool WriteLine(std::string_view text);

 private:
  void RebuildPathLocked();

  platform::Clock& clock_;
  const std::uint32_t size_limit_;
  runtime::CriticalSection lock_;
  std::string path_;    // guarded by lock_
  std::string folder_;  // guarded by lock_: "" or ending in "/"
  std::string prefix_;  // guarded by lock_
  std::uint32_t number_;
  bool numbered_ = false;
};

// The start-up and service routines' log: one file, no lock, no size limit.
class ServiceLog {
 public:
  ServiceLog(platform::Clock& clock, std::string path);
  // Appends one line; a file that cannot be opened is skipped silently.
  // An "#ERROR - ..." or "#WARNING - ..." line is repeated on standard
  // error, where the terminal or the service manager's journal shows it
  // even when the log cannot be written.
  void WriteServiceLine(std::string_view text);
  // A line that says why the service cannot go on (an "#ERROR - ...").
  void WriteFailureLine(std::string_view text) { WriteServiceLine(text); }
  // A line that an administrator must see although the service goes on
  // (a "#WARNING - ...").
  void WriteWarningLine(std::string_view text) { WriteServiceLine(text); }

 private:
  platform::Clock& clock_;
  const std::string path_;
};

// The transfer log: lines written as given (with a LF), to a file created
// owner-only and never opened through a link. Off until it has a path; the
// path may change while sessions write (a reload of the configuration).
//
// Thread-safety: every operation takes the log's lock.
class TransferLogFile {
 public:
  // Where lines go from now on; "" turns the log off.
  void SetPath(std::string path);
  std::string Path();
  // Appends `line` and a line feed. False when the log is off or the file
  // cannot be opened or written.
  [[nodiscard]] bool WriteLine(std::string_view line);

 private:
  runtime::CriticalSection lock_;
  std::string path_;  // guarded by lock_
};

}  // namespace quillon::settings
