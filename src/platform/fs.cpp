#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <linux/limits.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <vector>

namespace quillon::platform {

static_assert(kMaxPathBytes == PATH_MAX, "the path limit is the system's");
static_assert(kMaxNameBytes == NAME_MAX, "the name limit is the system's");

namespace {

void SetError(int* error, int value) {
  if (error != nullptr) *error = value;
}

FileTime FromTimespec(const timespec& ts) {
  return FileTime{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::int32_t>(ts.tv_nsec)};
}

timespec ToTimespec(const FileTime* time) {
  timespec ts{};
  if (time == nullptr) {
    ts.tv_nsec = UTIME_OMIT;
  } else {
    ts.tv_sec = static_cast<time_t>(time->seconds);
    ts.tv_nsec = time->nanoseconds;
  }
  return ts;
}

void FillInfo(const struct stat& st, PathInfo* out) {
  out->is_folder = S_ISDIR(st.st_mode);
  out->is_regular = S_ISREG(st.st_mode);
  out->is_link = S_ISLNK(st.st_mode);
  out->device = static_cast<std::uint64_t>(st.st_dev);
  out->size = out->is_folder ? 0 : static_cast<std::uint64_t>(st.st_size);
  out->last_write = FromTimespec(st.st_mtim);
  out->last_access = FromTimespec(st.st_atim);
  out->changed = FromTimespec(st.st_ctim);
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool ToCalendar(std::int64_t seconds, bool local, CalendarTime* out) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm fields {};
  if ((local ? localtime_r(&t, &fields) : gmtime_r(&t, &fields)) == nullptr) return false;
  out->year = fields.tm_year + 1900;
  out->month = fields.tm_mon + 1;
  out->day = fields.tm_mday;
  out->hour = fields.tm_hour;
  out->minute = fields.tm_min;
  out->second = fields.tm_sec;
  out->weekday = fields.tm_wday;
  return true;
}

bool FromCalendarUtc(const CalendarTime& f, std::int64_t* seconds) {
  // The range a file time can hold: 1601 to 30827.
  if (f.year < 1601 || f.year > 30827 || f.month < 1 || f.month > 12 || f.day < 1 ||
      f.day > DaysInMonth(f.year, f.month) || f.hour < 0 || f.hour > 23 || f.minute < 0 ||
      f.minute > 59 || f.second < 0 || f.second > 59)
    return false;
  struct tm fields {};
  fields.tm_year = f.year - 1900;
  fields.tm_mon = f.month - 1;
  fields.tm_mday = f.day;
  fields.tm_hour = f.hour;
  fields.tm_min = f.minute;
  fields.tm_sec = f.second;
  *seconds = static_cast<std::int64_t>(timegm(&fields));
  return true;
}

bool StatPath(const std::string& path, PathInfo* out) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0) return false;
  FillInfo(st, out);
  return true;
}

bool StatPathNoFollow(const std::string& path, PathInfo* out) {
  struct stat st {};
  if (path.empty() || lstat(path.c_str(), &st) != 0) return false;
  FillInfo(st, out);
  return true;
}

int OpenFile(const std::string& path, OpenMode mode, unsigned create_permissions, int* error,
             Links links) {
  // Non-blocking for the open itself: opening a FIFO without a peer would
  // otherwise wait forever. The flag is cleared once the type is known.
  int flags = O_CLOEXEC | O_NONBLOCK;
  if (links == Links::kRefuse) flags |= O_NOFOLLOW;
  switch (mode) {
    case OpenMode::kReadExisting: flags |= O_RDONLY; break;
    case OpenMode::kReadAlways: flags |= O_RDONLY | O_CREAT; break;
    case OpenMode::kWriteExisting: flags |= O_WRONLY; break;
    case OpenMode::kWriteAlways: flags |= O_WRONLY | O_CREAT; break;
    case OpenMode::kWriteNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
  }
  int fd;
  do {
    fd = open(path.c_str(), flags, static_cast<mode_t>(create_permissions));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetError(error, errno);
    return -1;
  }
  struct stat st {};
  int refusal = 0;
  if (fstat(fd, &st) != 0) {
    refusal = errno;
  } else if (S_ISDIR(st.st_mode)) {
    refusal = EISDIR;  // a folder is not a file, whatever the open call allowed
  } else if (!S_ISREG(st.st_mode)) {
    refusal = ENODEV;
  } else if (links == Links::kRefuse && st.st_nlink > 1 && geteuid() == 0) {
    refusal = EMLINK;
  } else if (const int status = fcntl(fd, F_GETFL);
             status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    refusal = errno;
  }
  if (refusal != 0) {
    close(fd);
    SetError(error, refusal);
    return -1;
  }
  return fd;
}

long long ReadFile(int descriptor, void* buffer, std::size_t count, int* error) {
  for (;;) {
    ssize_t n = read(descriptor, buffer, count);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    SetError(error, errno);
    return -1;
  }
}

long long WriteFile(int descriptor, const void* bytes, std::size_t count, int* error) {
  ssize_t n = write(descriptor, bytes, count);
  if (n >= 0) return n;
  if (errno == EINTR || errno == EAGAIN) return 0;
  SetError(error, errno);
  return -1;
}

long long SeekFile(int descriptor, long long offset, int from) {
  const int whence = from == 0 ? SEEK_SET : from == 1 ? SEEK_CUR : SEEK_END;
  return lseek(descriptor, static_cast<off_t>(offset), whence);
}

long long SizeOfFile(int descriptor) {
  struct stat st {};
  if (fstat(descriptor, &st) != 0) return -1;
  return st.st_size;
}

bool TruncateFile(int descriptor, std::uint64_t size, int* error) {
  if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    SetError(error, EFBIG);
    return false;
  }
  for (;;) {
    if (ftruncate(descriptor, static_cast<off_t>(size)) == 0) return true;
    if (errno != EINTR) break;
  }
  SetError(error, errno);
  return false;
}

bool SyncFile(int descriptor, int* error) {
  if (fdatasync(descriptor) == 0) return true;
  SetError(error, errno);
  return false;
}

void CloseFile(int descriptor) {
  if (descriptor >= 0) close(descriptor);
}

bool FileTimesOf(int descriptor, FileTime* last_write, FileTime* last_access, FileTime* changed) {
  struct stat st {};
  if (fstat(descriptor, &st) != 0) return false;
  if (last_write != nullptr) *last_write = FromTimespec(st.st_mtim);
  if (last_access != nullptr) *last_access = FromTimespec(st.st_atim);
  if (changed != nullptr) *changed = FromTimespec(st.st_ctim);
  return true;
}

bool SetFileTimes(int descriptor, const FileTime* last_access, const FileTime* last_write) {
  const timespec times[2] = {ToTimespec(last_access), ToTimespec(last_write)};
  return futimens(descriptor, times) == 0;
}

bool SetPathTimes(const std::string& path, const FileTime* last_access,
                  const FileTime* last_write) {
  const timespec times[2] = {ToTimespec(last_access), ToTimespec(last_write)};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

void* OpenDirectory(const std::string& path) { return opendir(path.c_str()); }

bool NextDirectoryEntry(void* directory, std::string* name) {
  if (directory == nullptr) return false;
  const dirent* entry = readdir(static_cast<DIR*>(directory));
  if (entry == nullptr) return false;
  name->assign(entry->d_name);
  return true;
}

void CloseDirectory(void* directory) {
  if (directory != nullptr) closedir(static_cast<DIR*>(directory));
}

bool MakeFolder(const std::string& path, unsigned permissions, int* error) {
  if (mkdir(path.c_str(), static_cast<mode_t>(permissions)) == 0) return true;
  SetError(error, errno);
  return false;
}

bool MakeFifo(const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }

bool RemoveEmptyFolder(const std::string& path, int* error) {
  if (rmdir(path.c_str()) == 0) return true;
  SetError(error, errno);
  return false;
}

bool RemoveFile(const std::string& path, int* error) {
  if (unlink(path.c_str()) == 0) return true;
  SetError(error, errno);
  return false;
}

bool RenamePath(const std::string& from, const std::string& to, int* error) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  SetError(error, errno);
  return false;
}

bool RenameNoReplace(const std::string& from, const std::string& to, int* error) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) {
    SetError(error, errno);
    return false;
  }
  // File systems without the flag: a file is linked under its new name
  // (which fails when the name is taken) and then unlinked; a folder can
  // only be checked and renamed.
  struct stat st {};
  if (lstat(from.c_str(), &st) != 0) {
    SetError(error, errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (link(from.c_str(), to.c_str()) != 0) {
      SetError(error, errno);
      return false;
    }
    if (unlink(from.c_str()) == 0) return true;
    const int failed = errno;
    unlink(to.c_str());
    SetError(error, failed);
    return false;
  }
  if (lstat(to.c_str(), &st) == 0) {
    SetError(error, EEXIST);
    return false;
  }
  return RenamePath(from, to, error);
}

bool IsCrossDeviceError(int error) { return error == EXDEV; }

bool IsAlreadyExistsError(int error) { return error == EEXIST; }

bool ResolvePath(const std::string& path, std::string* resolved) {
  char* canonical = realpath(path.c_str(), nullptr);
  if (canonical == nullptr) return false;
  resolved->assign(canonical);
  std::free(canonical);
  return true;
}

unsigned PermissionsOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  return static_cast<unsigned>(st.st_mode & 07777);
}

bool CanWrite(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  const int wanted = S_ISDIR(st.st_mode) ? (W_OK | X_OK) : W_OK;
  return access(path.c_str(), wanted) == 0;
}

bool SetPermissions(const std::string& path, unsigned permissions) {
  return chmod(path.c_str(), static_cast<mode_t>(permissions)) == 0;
}

bool FileSystemUsedBytes(const std::string& path, std::uint64_t* used) {
  struct statvfs vfs {};
  if (statvfs(path.c_str(), &vfs) != 0) return false;
  *used = (static_cast<std::uint64_t>(vfs.f_blocks) - vfs.f_bfree) * vfs.f_frsize;
  return true;
}

bool FileSystemFreeBytes(const std::string& path, std::uint64_t* free_bytes) {
  struct statvfs vfs {};
  if (statvfs(path.c_str(), &vfs) != 0) return false;
  *free_bytes = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  return true;
}

std::string CurrentFolder() {
  std::vector<char> buffer(4096);
  if (getcwd(buffer.data(), buffer.size()) == nullptr) return {};
  return std::string(buffer.data());
}

int CreateUniqueFile(const std::string& folder, const std::string& prefix, std::string* path,
                     int* error) {
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '/') pattern += '/';
  pattern += prefix;
  pattern += "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    SetError(error, errno);
    return -1;
  }
  path->assign(name.data());
  return fd;
}

bool RandomBytes(void* buffer, std::size_t count) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (count > 0) {
    const ssize_t n = getrandom(out, count, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

unsigned CurrentUserId() { return static_cast<unsigned>(getuid()); }

std::string HomeFolder() {
  // $HOME unless it belongs to another user: a server started as root that
  // now serves as another user keeps root's environment.
  const char* home = std::getenv("HOME");
  struct stat st {};
  if (home != nullptr && home[0] != '\0' && stat(home, &st) == 0 && st.st_uid == geteuid())
    return home;
  std::vector<char> buffer(16384);
  passwd entry {};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
    return found->pw_dir;
  return home != nullptr ? home : "";
}

void SetEnvironmentValue(const char* name, const std::string& value) {
  setenv(name, value.c_str(), 1);
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace quillon::platform
