#include "fileutil/time_format.h"

#include <cstdio>

namespace quillon::fileutil {

namespace {

constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMdtmOutOfRange = "19000101000000";

const char* MonthName(int month) { return month >= 1 && month <= 12 ? kMonthNames[month - 1] : ""; }
const char* DayName(int weekday) { return weekday >= 0 && weekday <= 6 ? kDayNames[weekday] : ""; }

// Reads `count` decimal digits at `at`; -1 when one is not a digit.
int Digits(std::string_view text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::string FormatCalendar(const platform::CalendarTime& t, TimeFormat format) {
  char text[64];
  if (format == TimeFormat::kList) {
    std::snprintf(text, sizeof text, "%s %02d %02d:%02d", MonthName(t.month), t.day, t.hour,
                  t.minute);
  } else {
    std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d", DayName(t.weekday), t.day,
                  MonthName(t.month), t.year, t.hour, t.minute, t.second);
  }
  return text;
}

std::string FormatFileTime(const platform::FileTime& time, TimeFormat format, bool to_local) {
  platform::CalendarTime fields;
  if (!platform::ToCalendar(time.seconds, to_local, &fields)) return {};
  return FormatCalendar(fields, format);
}

std::string FormatMdtm(const platform::FileTime& time, bool to_local) {
  platform::CalendarTime t;
  if (!platform::ToCalendar(time.seconds, to_local, &t) || t.year >= 10000 || t.year < 0)
    return kMdtmOutOfRange;
  char text[32];
  std::snprintf(text, sizeof text, "%d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

bool ParseMdtm(std::string_view text, platform::FileTime* out) {
  if (text.size() < 14) return false;
  platform::CalendarTime fields;
  fields.year = Digits(text, 0, 4);
  fields.month = Digits(text, 4, 2);
  fields.day = Digits(text, 6, 2);
  fields.hour = Digits(text, 8, 2);
  fields.minute = Digits(text, 10, 2);
  fields.second = Digits(text, 12, 2);
  std::int64_t seconds = 0;
  if (!platform::FromCalendarUtc(fields, &seconds)) return false;
  *out = platform::FileTime{seconds, 0};
  return true;
}

}  // namespace quillon::fileutil
