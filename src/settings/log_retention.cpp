#include "settings/log_retention.h"

#include <map>

#include "platform/fs.h"

namespace quillon::settings {

namespace {

constexpr std::int64_t kSecondsPerDay = 24 * 60 * 60;
constexpr std::string_view kLogExtension = ".txt";

// The family index and number of a numbered log's name, or false.
bool ParseLogName(std::string_view name, const std::vector<LogFamily>& families, std::size_t* family,
                  std::uint64_t* number) {
  if (!name.ends_with(kLogExtension)) return false;
  for (std::size_t i = 0; i < families.size(); ++i) {
    const std::string& prefix = families[i].prefix;
    if (prefix.empty() || !name.starts_with(prefix)) continue;
    const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - kLogExtension.size());
    // Numbers as the logs write them: decimal, at most ten digits.
    if (digits.empty() || digits.size() > 10) return false;
    std::uint64_t value = 0;
    for (char ch : digits) {
      if (ch < '0' || ch > '9') return false;
      value = value * 10 + static_cast<std::uint64_t>(ch - '0');
    }
    *family = i;
    *number = value;
    return true;
  }
  return false;
}

struct Candidate {
  std::string name;
  std::size_t family = 0;
  std::uint64_t number = 0;
  std::int64_t last_write = 0;
};

}  // namespace

std::uint32_t RemoveOldLogs(const std::string& folder, const std::vector<LogFamily>& families,
                            std::int64_t now_seconds, std::uint32_t keep_days) {
  if (keep_days == 0) return 0;
  platform::PathInfo folder_info;
  if (!platform::StatPathNoFollow(folder, &folder_info) || !folder_info.is_folder || folder_info.is_link)
    return 0;
  const std::string base = folder.ends_with('/') ? folder : folder + "/";
  void* directory = platform::OpenDirectory(base);
  if (directory == nullptr) return 0;
  std::vector<Candidate> logs;
  std::map<std::size_t, const Candidate*> newest;  // per family: the latest written (then highest number)
  std::string name;
  while (platform::NextDirectoryEntry(directory, &name)) {
    Candidate log;
    if (!ParseLogName(name, families, &log.family, &log.number)) continue;
    platform::PathInfo info;
    if (!platform::StatPathNoFollow(base + name, &info)) continue;
    if (info.is_link || !info.is_regular) continue;
    log.name = name;
    log.last_write = info.last_write.seconds;
    logs.push_back(std::move(log));
  }
  platform::CloseDirectory(directory);
  for (const Candidate& log : logs) {
    const Candidate*& latest = newest[log.family];
    if (latest == nullptr || log.last_write > latest->last_write ||
        (log.last_write == latest->last_write && log.number > latest->number))
      latest = &log;
  }

  const std::int64_t cutoff = now_seconds - std::int64_t{keep_days} * kSecondsPerDay;
  std::uint32_t removed = 0;
  for (const Candidate& log : logs) {
    if (log.last_write >= cutoff) continue;
    const std::string& current = families[log.family].current;
    if (current.empty() ? newest[log.family] == &log : current == log.name) continue;
    // Examined again at the last moment: a name that became a link or a
    // folder since stays.
    platform::PathInfo info;
    if (!platform::StatPathNoFollow(base + log.name, &info) || info.is_link || !info.is_regular) continue;
    int error = 0;
    if (platform::RemoveFile(base + log.name, &error)) ++removed;
  }
  return removed;
}

void LogRetention::SetKeepDays(std::uint32_t days) {
  runtime::CriticalSection::Guard guard(lock_);
  keep_days_ = days;
  due_ = true;
}

std::uint32_t LogRetention::KeepDays() {
  runtime::CriticalSection::Guard guard(lock_);
  return keep_days_;
}

bool LogRetention::TakeDuePass() {
  runtime::CriticalSection::Guard guard(lock_);
  const std::uint64_t now = clock_.MonotonicMs();
  if (!due_ && now < next_pass_ms_) return false;
  due_ = false;
  next_pass_ms_ = now + kIntervalMs;
  return true;
}

}  // namespace quillon::settings
