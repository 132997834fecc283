#include "ftp/session_messages.h"

#include <cstdio>

#include "fileutil/text.h"

namespace quillon::ftp {

namespace {

using fileutil::FormatText;

std::string RatioLine(int code, std::int32_t ratio, const char* direction) {
  if (ratio >= 2) return FormatText("%d-You gain %d credits per KB %s.", code, ratio, direction);
  if (ratio == 1) return FormatText("%d-You gain 1 credit per KB %s.", code, direction);
  if (ratio == 0) {
    // "downloaded" -> "downloads", "uploaded" -> "uploads"
    std::string plural(direction);
    plural.replace(plural.size() - 2, 2, "s");
    return FormatText("%d-Your credits are not affected by %s.", code, plural.c_str());
  }
  if (ratio == -1) return FormatText("%d-You loose 1 credit per KB %s.", code, direction);
  return FormatText("%d-You loose %lld credits per KB %s.", code,
                -static_cast<long long>(ratio), direction);
}

}  // namespace

std::vector<std::string> SessionMessageBlock(int code, const SessionStatus& status) {
  std::vector<std::string> lines;
  lines.push_back(
      FormatText("%d-There are currently %u users logged onto this server.", code, status.server_users));
  lines.push_back(FormatText("%d-There are currently %u users logged onto this account.", code,
                         status.account_sessions));
  if (status.use_max_size)
    lines.push_back(FormatText("%d-You have %llu KB of account allocation left.", code,
                           static_cast<unsigned long long>(status.free_bytes / 1024)));
  if (status.use_credits) {
    lines.push_back(FormatText("%d-You have %u transfer credits remaining.", code, status.credits));
    lines.push_back(RatioLine(code, status.download_ratio, "downloaded"));
    lines.push_back(RatioLine(code, status.upload_ratio, "uploaded"));
  }
  lines.push_back(FormatText("%d You are currently in directory '%s'.", code, status.directory.c_str()));
  return lines;
}

}  // namespace quillon::ftp
