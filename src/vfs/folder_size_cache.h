// Cached sizes of the folders that space allocations watch. An entry is made
// (and its folder walked once) when a transfer or file operation first
// acquires it; from then on writes and deletes keep it current through
// AddBytes and SubtractBytes, which also adjust every cached folder above
// it. A background thread ages the entries: once an hour an entry is dropped
// when nothing uses it, or measured again.
//
// Folder paths are compared exactly (Linux folder names are case-sensitive).
//
// Thread-safety: all public operations may be called from any thread; the
// cache lock guards the entries. Folder walks run outside the lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "runtime/critical_section.h"
#include "runtime/worker_thread.h"

namespace quillon::vfs {

class FolderSizeCache : public runtime::WorkerThread {
 public:
  static constexpr std::uint32_t kTimeToLiveSeconds = 3600;
  static constexpr std::size_t kMaxLinks = 130;
  static constexpr std::uint32_t kSweepIntervalMs = 1000;

  // A cached folder. Valid from Acquire until the matching Release.
  struct Entry;

  explicit FolderSizeCache(platform::Clock& clock);
  ~FolderSizeCache() override;

  // Total bytes of the files below `path` (made absolute first); for the
  // file-system root "/", the bytes in use on that file system. Links to
  // folders are not followed. False when the folder cannot be read.
  [[nodiscard]] static bool FolderSize(const std::string& path, std::uint64_t* bytes);

  // The entry of `folder`, its use count raised; null when the folder cannot
  // be measured. A folder is walked only when it gets its entry.
  Entry* Acquire(const std::string& folder);
  // REQUIRES: `entry` came from Acquire and is released once.
  void Release(Entry* entry);
  // Adjust the entry and every cached folder above it (not below 0).
  void AddBytes(Entry* entry, std::uint64_t bytes);
  void SubtractBytes(Entry* entry, std::uint64_t bytes);
  std::uint64_t SizeOf(const Entry* entry) const;

  // Removes the (empty) folder on disk unless its entry is in use.
  [[nodiscard]] bool RemoveFolder(const std::string& path);
  // Moves a folder on disk; cached folders inside it move along, and the
  // folders above the old and the new place lose and gain its size.
  [[nodiscard]] bool MoveFolder(const std::string& from, const std::string& to);

  // One pass of the background thread: ages every entry by the whole
  // seconds passed since the previous pass, then drops or re-measures the
  // entries whose time ran out.
  void Sweep();
  std::size_t EntryCount() const;

 protected:
  void ThreadBody() override;

 private:
  Entry* FindLocked(const std::string& path) const;
  // Rebuilds every entry's links to the cached folders above it.
  void RelinkAllLocked();
  void AdjustLocked(Entry* entry, std::uint64_t bytes, bool add);

  platform::Clock& clock_;
  mutable runtime::CriticalSection lock_;
  std::vector<std::unique_ptr<Entry>> entries_;  // guarded by lock_
  std::uint32_t last_sweep_tick_;                // sweeping thread only
  std::uint32_t carried_ms_ = 0;                 // sweeping thread only
};

}  // namespace quillon::vfs
