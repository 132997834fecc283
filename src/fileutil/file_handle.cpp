#include "fileutil/file_handle.h"

#include <memory>

#include "platform/event.h"
#include "platform/thread.h"
#include "runtime/tcp_socket.h"
#include "fileutil/time_format.h"

namespace quillon::fileutil {

namespace {

// Bytes moved per read and write when a file is copied.
constexpr std::size_t kCopyChunk = 256 * 1024;

}  // namespace

bool FileHandle::Open(const std::string& path, Mode mode, unsigned create_permissions,
                      platform::Links links) {
  Close();
  using platform::OpenMode;
  OpenMode system_mode = OpenMode::kReadExisting;
  switch (mode) {
    case Mode::kRead: break;
    case Mode::kReadOrCreate: system_mode = OpenMode::kReadAlways; break;
    case Mode::kWrite: system_mode = OpenMode::kWriteExisting; break;
    case Mode::kWriteOrCreate: system_mode = OpenMode::kWriteAlways; break;
  }
  const bool write = mode == Mode::kWrite || mode == Mode::kWriteOrCreate;
  error_ = 0;
  descriptor_ = platform::OpenFile(path, system_mode, create_permissions, &error_, links);
  if (descriptor_ < 0) return false;
  const std::uint64_t size = Size();
  if (write && size > 0) {
    SeekToEnd();
    at_end_ = false;
  } else {
    at_end_ = size == 0;
  }
  return true;
}

bool FileHandle::CreateNew(const std::string& path, unsigned permissions) {
  Close();
  error_ = 0;
  descriptor_ = platform::OpenFile(path, platform::OpenMode::kWriteNew, permissions, &error_);
  at_end_ = descriptor_ >= 0;
  return descriptor_ >= 0;
}

bool FileHandle::CreateUnique(const std::string& folder, const std::string& prefix,
                              std::string* path) {
  Close();
  error_ = 0;
  descriptor_ = platform::CreateUniqueFile(folder, prefix, path, &error_);
  at_end_ = true;
  return descriptor_ >= 0;
}

bool FileHandle::Flush() { return descriptor_ >= 0 && platform::SyncFile(descriptor_, &error_); }

void FileHandle::Close() {
  platform::CloseFile(descriptor_);
  descriptor_ = -1;
  at_end_ = false;
}

std::size_t FileHandle::Read(void* buffer, std::size_t count) {
  std::size_t total = 0;
  auto* out = static_cast<char*>(buffer);
  while (total < count && descriptor_ >= 0) {
    const long long n = platform::ReadFile(descriptor_, out + total, count - total, &error_);
    if (n <= 0) break;
    total += static_cast<std::size_t>(n);
  }
  if (total < count) at_end_ = true;
  return total;
}

bool FileHandle::SendTo(runtime::TcpSocket& socket, std::size_t* count) {
  if (descriptor_ < 0) {
    *count = 0;
    at_end_ = true;
    return true;
  }
  bool ended = false;
  if (!socket.SendFromFile(descriptor_, count, &ended)) return false;
  if (ended) at_end_ = true;
  return true;
}

bool FileHandle::WriteAll(const void* bytes, std::size_t count, const platform::Event* stop) {
  if (descriptor_ < 0) return false;
  platform::SystemClock system_clock;
  platform::Clock& clock = clock_ != nullptr ? *clock_ : system_clock;
  const auto* data = static_cast<const char*>(bytes);
  std::uint32_t last_progress = clock.TickMs();
  while (count > 0) {
    const long long n = platform::WriteFile(descriptor_, data, count, &error_);
    if (n < 0) return false;
    if (n > 0) {
      data += n;
      count -= static_cast<std::size_t>(n);
      last_progress = clock.TickMs();
      continue;
    }
    if (clock.TickMs() - last_progress >= kWriteStallLimitMs) return false;
    if (stop != nullptr ? stop->Wait(kWriteRetryMs) : (clock.SleepMs(kWriteRetryMs), false))
      return false;
  }
  return true;
}

bool FileHandle::WriteLine(std::string_view text) {
  return WriteAll(text.data(), text.size()) && WriteAll("\r\n", 2);
}

bool FileHandle::ReadLine(std::string* line, std::size_t capacity) {
  line->clear();
  if (descriptor_ < 0) return false;
  const std::size_t room = capacity > 0 ? capacity - 1 : 0;
  bool any = false;
  char chunk[256];
  for (;;) {
    const std::uint64_t start = Position();
    const long long n = platform::ReadFile(descriptor_, chunk, sizeof chunk, &error_);
    if (n <= 0) {
      at_end_ = true;
      return any;
    }
    any = true;
    for (long long i = 0; i < n; ++i) {
      if (chunk[i] != '\r') {
        if (line->size() < room) line->push_back(chunk[i]);
        continue;
      }
      // Consume a LF right after the CR, then leave the position after the line.
      std::uint64_t next = start + static_cast<std::uint64_t>(i) + 1;
      if (i + 1 < n) {
        if (chunk[i + 1] == '\n') ++next;
      } else {
        char after = 0;
        platform::SeekFile(descriptor_, static_cast<long long>(next), 0);
        if (platform::ReadFile(descriptor_, &after, 1, nullptr) == 1 && after == '\n') ++next;
      }
      SeekTo(next);
      at_end_ = false;
      return true;
    }
  }
}

std::uint64_t FileHandle::Size() const {
  const long long size = descriptor_ >= 0 ? platform::SizeOfFile(descriptor_) : -1;
  return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

bool FileHandle::SeekTo(std::uint64_t offset) {
  if (descriptor_ < 0) return false;
  if (platform::SeekFile(descriptor_, static_cast<long long>(offset), 0) < 0) return false;
  at_end_ = offset >= Size();
  return true;
}

bool FileHandle::SeekToEnd() {
  if (descriptor_ < 0 || platform::SeekFile(descriptor_, 0, 2) < 0) return false;
  at_end_ = true;
  return true;
}

bool FileHandle::Truncate(std::uint64_t size) {
  return descriptor_ >= 0 && platform::TruncateFile(descriptor_, size, &error_);
}

std::uint64_t FileHandle::Position() const {
  const long long at = descriptor_ >= 0 ? platform::SeekFile(descriptor_, 0, 1) : -1;
  return at > 0 ? static_cast<std::uint64_t>(at) : 0;
}

bool FileHandle::GetTimes(platform::FileTime* changed, platform::FileTime* last_access,
                          platform::FileTime* last_write) const {
  return descriptor_ >= 0 && platform::FileTimesOf(descriptor_, last_write, last_access, changed);
}

bool FileHandle::SetTimes(const platform::FileTime* last_access,
                          const platform::FileTime* last_write) {
  return descriptor_ >= 0 && platform::SetFileTimes(descriptor_, last_access, last_write);
}

std::string FileHandle::LastWriteText() const {
  platform::FileTime last_write;
  if (!GetTimes(nullptr, nullptr, &last_write)) return {};
  return FormatFileTime(last_write, TimeFormat::kHttp, true);
}

bool MoveFileAcrossFileSystems(const std::string& from, const std::string& to) {
  FileHandle source;
  if (!source.Open(from, FileHandle::Mode::kRead)) return false;
  const unsigned permissions = platform::PermissionsOf(from);
  FileHandle target;
  if (!target.CreateNew(to, permissions != 0 ? permissions : FileHandle::kSharedFile)) return false;
  auto buffer = std::make_unique_for_overwrite<char[]>(kCopyChunk);
  bool copied = true;
  while (copied && !source.AtEnd()) {
    const std::size_t got = source.Read(buffer.get(), kCopyChunk);
    copied = source.ErrorNumber() == 0 && target.WriteAll(buffer.get(), got);
  }
  platform::FileTime last_write, last_access;
  copied = copied && source.GetTimes(nullptr, &last_access, &last_write) &&
           target.SetTimes(&last_access, &last_write) && target.Flush();
  target.Close();
  source.Close();
  if (copied && platform::RemoveFile(from, nullptr)) return true;
  [[maybe_unused]] bool removed = platform::RemoveFile(to, nullptr);
  return false;
}

bool WriteNewOwnerOnlyFile(const std::string& path, std::string_view text, std::string* message) {
  platform::PathInfo info;
  int error = 0;
  if (platform::StatPathNoFollow(path, &info)) {
    if (info.is_link || !info.is_regular) {
      *message = path + " is not a regular file";
      return false;
    }
    if (!platform::RemoveFile(path, &error)) {
      *message = platform::ErrorText(path.c_str(), error);
      return false;
    }
  }
  // Created new (never opened through a link): a name that reappeared
  // meanwhile makes this fail rather than be written through.
  FileHandle file;
  if (!file.CreateNew(path, FileHandle::kOwnerOnlyFile)) {
    *message = platform::ErrorText(path.c_str(), file.ErrorNumber());
    return false;
  }
  if (file.WriteAll(text.data(), text.size()) && file.Flush()) return true;
  *message = platform::ErrorText(path.c_str(), file.ErrorNumber());
  file.Close();
  [[maybe_unused]] const bool removed = platform::RemoveFile(path, &error);
  return false;
}

bool ReadWholeFile(const std::string& path, std::uint64_t max_bytes, std::string* bytes,
                   platform::Links links) {
  bytes->clear();
  FileHandle file;
  if (!file.Open(path, FileHandle::Mode::kRead, FileHandle::kSharedFile, links)) return false;
  const std::uint64_t size = file.Size();
  if (size > max_bytes) return false;
  bytes->resize(static_cast<std::size_t>(size));
  bytes->resize(file.Read(bytes->data(), bytes->size()));
  return true;
}

}  // namespace quillon::fileutil
