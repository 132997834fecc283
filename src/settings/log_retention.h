// Removes the server's old numbered logs: in one logs folder, the files
// named <prefix><number>.txt of the given families (e.g. "ftp_",
// "remoteadmin_") whose last change lies more than the kept days back.
// Nothing else goes: no other file, no link (nor what it points to), nothing
// below or outside the folder, never the file a family's log writes to now:
// the one named as current, or where that is unknown, the family's most
// recently written file.
//
// Thread-safety: RemoveOldLogs is a free function; LogRetention takes its
// lock in every operation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "runtime/critical_section.h"

namespace quillon::settings {

// One family of numbered logs.
struct LogFamily {
  std::string prefix;   // e.g. "ftp_"
  std::string current;  // the file name its log writes to now; "" when unknown
};

// The number of logs removed from `folder` whose last write is older than
// `keep_days` days before `now_seconds` (wall time, seconds since 1970);
// `keep_days` 0 removes nothing. A folder that is a link, or cannot be
// read, is left alone (0).
std::uint32_t RemoveOldLogs(const std::string& folder, const std::vector<LogFamily>& families,
                            std::int64_t now_seconds, std::uint32_t keep_days);

// When to run RemoveOldLogs: at once, then once a day (on the monotonic
// clock, so a changed wall clock does not skip or repeat a day).
class LogRetention {
 public:
  static constexpr std::uint64_t kIntervalMs = 24ull * 60 * 60 * 1000;

  explicit LogRetention(platform::Clock& clock) : clock_(clock) {}

  // The days kept from now on (0: for ever); the next pass runs at once.
  void SetKeepDays(std::uint32_t days);
  std::uint32_t KeepDays();
  // True (and the next pass a day away) when a pass is due now.
  [[nodiscard]] bool TakeDuePass();

 private:
  platform::Clock& clock_;
  runtime::CriticalSection lock_;
  std::uint32_t keep_days_ = 0;  // guarded by lock_
  bool due_ = true;              // guarded by lock_: the next pass runs at once
  std::uint64_t next_pass_ms_ = 0;  // guarded by lock_
};

}  // namespace quillon::settings
