// The server's time texts:
//   LIST date   "Mar 07 09:05"                   (the year is never shown)
//   HTTP date   "Sat, 05 Dec 2026 04:07:09"      (also the log line stamp)
//   MDTM stamp  "20030307090500"
#pragma once

#include <string>
#include <string_view>

#include "platform/fs.h"

namespace quillon::fileutil {

enum class TimeFormat { kList = 0, kHttp = 1 };

// Formats calendar fields; day, hour, minute and second take two digits.
std::string FormatCalendar(const platform::CalendarTime& time, TimeFormat format);
// Formats a file time, converted to local time first when `to_local`
// (otherwise in UTC). "" when the time cannot be converted.
std::string FormatFileTime(const platform::FileTime& time, TimeFormat format, bool to_local);
// "YYYYMMDDhhmmss"; "19000101000000" when the year is 10000 or more (or the
// time cannot be converted).
std::string FormatMdtm(const platform::FileTime& time, bool to_local);
// Reads "YYYYMMDDhhmmss" from the first 14 characters as UTC. False when the
// text is shorter or the fields are not a real date and time.
[[nodiscard]] bool ParseMdtm(std::string_view text, platform::FileTime* out);

}  // namespace quillon::fileutil
