#include "settings/extra_settings.h"

#include <string_view>

#include "vfs/file_handle.h"
#include "vfs/paths.h"

namespace quillon::settings {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// A user name as the system's user database writes them.
bool IsUserName(std::string_view name) {
  if (name.empty() || name.size() > 32 || name.front() == '-') return false;
  for (char ch : name) {
    const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                       (ch >= '0' && ch <= '9') || ch == '_' || ch == '-' || ch == '.';
    if (!plain) return false;
  }
  return true;
}

}  // namespace

void ExtraSettings::ResetToDefaults() {
  run_as_user_ = kDefaultRunAsUser;
  trash_max_mb_ = kDefaultTrashMaxMb;
  unknown_.clear();
}

bool ExtraSettings::Load(const std::string& path, std::string* message) {
  ResetToDefaults();
  if (!vfs::PathExists(path)) return true;
  std::string text;
  if (!vfs::ReadWholeFile(path, kMaxFileBytes, &text)) {
    *message = "Unable to read " + path;
    return false;
  }
  std::size_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = Trim(std::string_view(text).substr(start, end - start));
    start = end + 1;
    ++number;
    if (line.empty() || line.front() == '#') continue;
    const std::size_t equals = line.find('=');
    const std::string key(Trim(line.substr(0, equals == std::string_view::npos ? 0 : equals)));
    const std::string value(equals == std::string_view::npos ? std::string_view()
                                                             : Trim(line.substr(equals + 1)));
    if (key.empty() || !Apply(key, value)) {
      *message = path + " line " + std::to_string(number) + " is not a valid setting";
      return false;
    }
  }
  return true;
}

bool ExtraSettings::Apply(const std::string& key, const std::string& value) {
  if (key == "run_as_user") {
    if (!IsUserName(value)) return false;
    run_as_user_ = value;
  } else if (key == "trash_max_mb") {
    // Plain digits, at most a million gigabytes.
    if (value.empty() || value.size() > 10) return false;
    std::uint64_t megabytes = 0;
    for (char ch : value) {
      if (ch < '0' || ch > '9') return false;
      megabytes = megabytes * 10 + static_cast<std::uint64_t>(ch - '0');
    }
    if (megabytes > (std::uint64_t{1} << 30)) return false;
    trash_max_mb_ = megabytes;
  } else {
    unknown_[key] = value;
  }
  return true;
}

}  // namespace quillon::settings
