// Files, folders and calendar time: the operating-system side of the
// virtual file system, the stores and the logs.
//
// Paths are POSIX paths. Functions that can fail return false (or a
// negative descriptor) and, where an `error` parameter is given and not
// null, store errno there.
//
// Thread-safety: free functions; a descriptor is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon::platform {

// The system's limits on paths: a whole path holds at most kMaxPathBytes - 1
// bytes (the count includes the NUL), one name in it at most kMaxNameBytes.
inline constexpr std::size_t kMaxPathBytes = 4096;
inline constexpr std::size_t kMaxNameBytes = 255;

// A point in time as stored by the file system.
struct FileTime {
  std::int64_t seconds = 0;  // since 1970-01-01 00:00:00 UTC
  std::int32_t nanoseconds = 0;
  bool operator==(const FileTime&) const = default;
};

// Calendar fields of a point in time.
struct CalendarTime {
  int year = 1970;  // e.g. 2026
  int month = 1;    // 1-12
  int day = 1;      // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 4;  // 0 Sunday - 6 Saturday
};

// Converts to calendar fields in UTC, or in the local time zone when `local`.
[[nodiscard]] bool ToCalendar(std::int64_t seconds, bool local, CalendarTime* out);
// Converts UTC calendar fields (weekday ignored) to seconds. False when a
// field is out of range (month 13, 31 February, hour 24 and so on).
[[nodiscard]] bool FromCalendarUtc(const CalendarTime& fields, std::int64_t* seconds);

// What a path names.
struct PathInfo {
  bool is_folder = false;
  bool is_regular = false;  // a plain file: not a folder, FIFO, socket or device
  bool is_link = false;  // only from StatPathNoFollow
  std::uint64_t device = 0;  // the file system that holds it
  std::uint64_t size = 0;
  FileTime last_write;
  FileTime last_access;
  FileTime changed;
};
// False when nothing exists at `path` (or it cannot be examined).
[[nodiscard]] bool StatPath(const std::string& path, PathInfo* out);
// As StatPath, but a symbolic link describes itself, not its target.
[[nodiscard]] bool StatPathNoFollow(const std::string& path, PathInfo* out);

// Open modes of OpenFile.
enum class OpenMode {
  kReadExisting,    // read; the file must exist
  kReadAlways,      // read; created empty when absent
  kWriteExisting,   // write; the file must exist
  kWriteAlways,     // write; created when absent
  kWriteNew,        // write; created, and fails (EEXIST) when anything is there
};
// What OpenFile does with links at the path.
enum class Links {
  kFollow,
  // For the program's own files (configuration, logs): a symbolic link in the
  // file's place is not followed (ELOOP), and a process running as root
  // refuses a file with a second hard link (EMLINK). Whoever can write in the
  // folder cannot make this process open another file through a name there.
  kRefuse,
};
// Returns a descriptor or -1. `create_permissions` apply to new files
// (0600 for owner-only files, 0644 otherwise, less the umask). Only regular
// files open: a folder fails with EISDIR, and a FIFO, socket or device with
// ENODEV, without ever blocking (a FIFO without a writer would).
[[nodiscard]] int OpenFile(const std::string& path, OpenMode mode, unsigned create_permissions,
                           int* error, Links links = Links::kFollow);
// Bytes read (0 at the end), or -1 with *error set.
long long ReadFile(int descriptor, void* buffer, std::size_t count, int* error);
// Bytes written (0 when nothing could be written now), or -1 with *error set.
// Interrupted writes count as 0.
long long WriteFile(int descriptor, const void* bytes, std::size_t count, int* error);
// New position, or -1. `from`: 0 start, 1 current, 2 end.
long long SeekFile(int descriptor, long long offset, int from);
// Size of the open file, or -1.
long long SizeOfFile(int descriptor);
// Cuts (or extends with zeros) the open file to `size` bytes; its position
// stays where it was.
[[nodiscard]] bool TruncateFile(int descriptor, std::uint64_t size, int* error);
// Flushes the file's data to the disk.
[[nodiscard]] bool SyncFile(int descriptor, int* error);
void CloseFile(int descriptor);
[[nodiscard]] bool FileTimesOf(int descriptor, FileTime* last_write, FileTime* last_access,
                               FileTime* changed);
// Sets the access and last-write times (null leaves a time unchanged).
[[nodiscard]] bool SetFileTimes(int descriptor, const FileTime* last_access,
                                const FileTime* last_write);
// Sets the times of a path without opening it.
[[nodiscard]] bool SetPathTimes(const std::string& path, const FileTime* last_access,
                                const FileTime* last_write);

// Directory reading: one entry name per call, "." and ".." included.
[[nodiscard]] void* OpenDirectory(const std::string& path);
// False when no entry is left.
[[nodiscard]] bool NextDirectoryEntry(void* directory, std::string* name);
void CloseDirectory(void* directory);

[[nodiscard]] bool MakeFolder(const std::string& path, unsigned permissions, int* error);
// Makes a named pipe (owner read and write). A local user can put one in a
// served folder; the server must never block on it.
[[nodiscard]] bool MakeFifo(const std::string& path);
[[nodiscard]] bool RemoveEmptyFolder(const std::string& path, int* error);
[[nodiscard]] bool RemoveFile(const std::string& path, int* error);
// Renames within one file system; replaces an existing target file.
[[nodiscard]] bool RenamePath(const std::string& from, const std::string& to, int* error);
// Renames within one file system, failing (EEXIST) instead of replacing
// anything at `to`, also when it appears at the last moment.
[[nodiscard]] bool RenameNoReplace(const std::string& from, const std::string& to, int* error);
// True for the error of a rename between two file systems.
bool IsCrossDeviceError(int error);
// True for the error of a creation or RenameNoReplace whose target exists.
bool IsAlreadyExistsError(int error);
// The canonical absolute path of an existing path: every symbolic link,
// "." and ".." resolved. False when some part does not exist.
[[nodiscard]] bool ResolvePath(const std::string& path, std::string* resolved);
// The permission bits of an existing path (0 when unknown).
unsigned PermissionsOf(const std::string& path);
// This process may write to the file or folder (a folder: create and remove
// entries in it), as the kernel judges it for the real user.
bool CanWrite(const std::string& path);
[[nodiscard]] bool SetPermissions(const std::string& path, unsigned permissions);

// Bytes in use on the file system that holds `path` (total minus free).
[[nodiscard]] bool FileSystemUsedBytes(const std::string& path, std::uint64_t* used);
// Bytes free for this process on the file system that holds `path`.
[[nodiscard]] bool FileSystemFreeBytes(const std::string& path, std::uint64_t* free_bytes);

// The process's current folder ("" when unknown).
std::string CurrentFolder();

// Creates an empty file with a unique name beginning with `prefix` in
// `folder`, owner-only. Returns its descriptor (open for writing) and path.
[[nodiscard]] int CreateUniqueFile(const std::string& folder, const std::string& prefix,
                                   std::string* path, int* error);

// The real user id of the process.
unsigned CurrentUserId();
// The home folder of the process's user ("" when unknown).
std::string HomeFolder();

// Fills `buffer` from the system's cryptographic random source. False when
// the source cannot be read.
[[nodiscard]] bool RandomBytes(void* buffer, std::size_t count);

// The value of an environment variable, or "" when unset.
std::string EnvironmentValue(const char* name);
// Sets an environment variable of this process (for start-up and tests;
// not safe while other threads read the environment).
void SetEnvironmentValue(const char* name, const std::string& value);

}  // namespace quillon::platform
