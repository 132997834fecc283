#include "ftp/transfer_log.h"

#include <algorithm>

#include "accountfs/messages.h"
#include "fileutil/text.h"
#include "ftp/replies.h"
#include "platform/fs.h"

namespace quillon::ftp {

using fileutil::FormatText;
using Kind = accountfs::FileTransfer::Kind;

std::string TransferLogText(Kind kind, std::string_view item, const char* reason,
                            const TransferFigures& figures) {
  const std::string path(item);
  if (kind == Kind::kListing)
    return reason == nullptr ? FormatText(replies::kLogViewed, path.c_str())
                             : FormatText(replies::kLogViewFailed, path.c_str(), reason);
  const auto bytes = static_cast<unsigned long long>(figures.bytes);
  const double seconds = figures.duration_ms / 1000.0;
  const bool upload = kind == Kind::kUpload;
  if (reason != nullptr)
    return FormatText(upload ? replies::kLogUploadFailed : replies::kLogDownloadFailed, path.c_str(), reason,
                      bytes, seconds);
  const double rate_seconds = std::max<std::uint32_t>(figures.duration_ms, 1) / 1000.0;
  const double kb_per_second = static_cast<double>(figures.bytes) / 1024.0 / rate_seconds;
  return FormatText(upload ? replies::kLogUploaded : replies::kLogDownloaded, path.c_str(), bytes, seconds,
                    kb_per_second);
}

bool IsAllowanceRefusal(std::string_view reason) {
  namespace messages = accountfs::messages;
  for (const char* refusal : {messages::kNotEnoughSpace, messages::kAllocationReached, messages::kOutOfCredits,
                              messages::kNeedsCredits})
    if (reason == refusal) return true;
  return false;
}

std::string XferField(std::string_view text) {
  if (text.empty()) return "_";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte == ' ') {
      out.push_back('_');
    } else if (byte < 0x20 || byte == 0x7F || byte == '\\') {
      fileutil::AppendHexEscape(&out, byte);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

std::string XferLogLine(const XferRecord& record) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  platform::CalendarTime time;
  if (!platform::ToCalendar(record.end_seconds, true, &time)) time = platform::CalendarTime{};
  const std::uint64_t rounded = (std::uint64_t{record.duration_ms} + 500) / 1000;
  const auto seconds = static_cast<unsigned>(std::max<std::uint64_t>(rounded, 1));
  return FormatText("%s %s %2d %02d:%02d:%02d %d %u %s %llu %s %c _ %c %c %s ftp 0 * %c",
                    kDays[time.weekday % 7], kMonths[(time.month + 11) % 12], time.day, time.hour,
                    time.minute, time.second, time.year, seconds, XferField(record.remote_host).c_str(),
                    static_cast<unsigned long long>(record.bytes), XferField(record.ftp_path).c_str(),
                    record.binary ? 'b' : 'a', record.incoming ? 'i' : 'o', record.anonymous ? 'a' : 'r',
                    XferField(record.user).c_str(), record.completed ? 'c' : 'i');
}

}  // namespace quillon::ftp
