#include "settings/log_file.h"

#include <cstdio>

#include "fileutil/file_handle.h"
#include "fileutil/text.h"
#include "fileutil/time_format.h"

namespace quillon::settings {

namespace {

constexpr std::string_view kSeparator = " -> ";

// Opens `path` for appending, creating it when absent. A link in the log's
// place is not followed: a server started as root writes its first lines
// before it hands the logs folder to its user, who could plant one there.
bool OpenForAppend(fileutil::FileHandle* file, const std::string& path, unsigned permissions) {
  return !path.empty() &&
         file->Open(path, fileutil::FileHandle::Mode::kWriteOrCreate, permissions, platform::Links::kRefuse) &&
         file->SeekToEnd();
}

}  // namespace

std::string FormatLogLine(platform::Clock& clock, std::string_view text) {
  const std::int64_t seconds = clock.WallTimeNs() / 1'000'000'000;
  std::string line = fileutil::FormatFileTime(platform::FileTime{seconds, 0}, fileutil::TimeFormat::kHttp, true);
  line.append(kSeparator);
  // Control bytes come from peers (user names, paths, request lines); written
  // as they are, a line feed would forge a line of its own.
  for (char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte >= 0x20 && byte != 0x7F) {
      line.push_back(ch);
    } else {
      fileutil::AppendHexEscape(&line, byte);
    }
  }
  return line;
}

LogFile::LogFile(platform::Clock& clock, std::uint32_t number, std::uint32_t size_limit)
    : clock_(clock), size_limit_(size_limit), number_(number) {}

namespace {

std::string FolderPart(std::string_view folder) {
  std::string out(folder);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  return out;
}

}  // namespace

void LogFile::SetPrefix(std::string_view folder, std::string_view prefix) {
  runtime::CriticalSection::Guard guard(lock_);
  folder_ = FolderPart(folder);
  fileutil::CopyText(&prefix_, prefix, kPrefixCapacity);
  numbered_ = true;
  RebuildPathLocked();
}

void LogFile::SetFixedPath(std::string_view folder, std::string_view name) {
  runtime::CriticalSection::Guard guard(lock_);
  std::string cut;
  fileutil::CopyText(&cut, name, kPathCapacity);
  path_ = FolderPart(folder) + cut;
}

std::uint32_t LogFile::Number() {
  runtime::CriticalSection::Guard guard(lock_);
  return number_;
}

void LogFile::SetNumber(std::uint32_t number) {
  runtime::CriticalSection::Guard guard(lock_);
  number_ = number;
  if (numbered_) RebuildPathLocked();
}

std::string LogFile::CurrentPath() {
  runtime::CriticalSection::Guard guard(lock_);
  return path_;
}

void LogFile::RebuildPathLocked() {
  std::string name;
  fileutil::CopyText(&name, prefix_ + std::to_string(number_) + ".txt", kPathCapacity);
  path_ = folder_ + name;
}

bool LogFile::WriteLine(std::string_view text) {
  runtime::CriticalSection::Guard guard(lock_);
  // Logs hold user names, addresses and paths: the server's alone.
  const unsigned permissions = fileutil::FileHandle::kOwnerOnlyFile;
  fileutil::FileHandle file;
  if (!OpenForAppend(&file, path_, permissions)) return false;
  while (numbered_ && file.Size() > size_limit_) {
    ++number_;
    RebuildPathLocked();
    if (!OpenForAppend(&file, path_, permissions)) return false;
  }
  std::string line = FormatLogLine(clock_, text);
  line.append("\r\n");
  return file.WriteAll(line.data(), line.size());
}

ServiceLog::ServiceLog(platform::Clock& clock, std::string path)
    : clock_(clock), path_(std::move(path)) {}

void ServiceLog::WriteServiceLine(std::string_view text) {
  if (text.starts_with("#ERROR") || text.starts_with("#WARNING"))
    std::fprintf(stderr, "Quillon FTP Server 1.03: %.*s\n", static_cast<int>(text.size()), text.data());
  fileutil::FileHandle file;
  if (!OpenForAppend(&file, path_, fileutil::FileHandle::kOwnerOnlyFile)) return;
  std::string line = FormatLogLine(clock_, text);
  line.append("\r\n");
  [[maybe_unused]] bool written = file.WriteAll(line.data(), line.size());
}

void TransferLogFile::SetPath(std::string path) {
  runtime::CriticalSection::Guard guard(lock_);
  path_ = std::move(path);
}

std::string TransferLogFile::Path() {
  runtime::CriticalSection::Guard guard(lock_);
  return path_;
}

bool TransferLogFile::WriteLine(std::string_view line) {
  runtime::CriticalSection::Guard guard(lock_);
  fileutil::FileHandle file;
  if (!OpenForAppend(&file, path_, fileutil::FileHandle::kOwnerOnlyFile)) return false;
  std::string text(line);
  text.push_back('\n');
  return file.WriteAll(text.data(), text.size());
}

}  // namespace quillon::settings
