// Cached sizes of the folders that space allocations watch. An entry is made
// (and its folder walked once) when a transfer or file operation first
// acquires it; from then on writes and deletes keep it current through
// AddBytes and SubtractBytes, which also adjust every cached folder above
// it. A background thread ages the entries: once an hour an entry is dropped
// when nothing uses it, or measured again. The thread sleeps until the next
// entry is due (and, with no entries, until the first is made).
//
// Folder paths are compared exactly (Linux folder names are case-sensitive).
// Entries are kept ordered by path, so a folder's entry, the cached folders
// above it and those below it are found without walking every entry, and a
// sweep is one pass.
//
// Thread-safety: all public operations may be called from any thread; the
// cache lock guards the entries. Folder walks run outside the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "runtime/critical_section.h"
#include "runtime/worker_thread.h"

namespace quillon::fileutil {

class FolderSizeCache : public runtime::WorkerThread {
 public:
  static constexpr std::uint32_t kTimeToLiveSeconds = 3600;
  static constexpr std::size_t kMaxLinks = 130;
  static constexpr std::uint32_t kSweepIntervalMs = 1000;

  // A cached folder.
  struct Entry;

  // A held entry: its folder's size stays cached and current while the
  // hold lives; the hold lets go when it is destroyed or reset. Empty when
  // the folder could not be measured.
  class Hold {
   public:
    Hold() = default;
    Hold(Hold&& other) noexcept : cache_(other.cache_), entry_(other.entry_) { other.entry_ = nullptr; }
    Hold& operator=(Hold&& other) noexcept;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() { Reset(); }

    explicit operator bool() const { return entry_ != nullptr; }
    Entry* Get() const { return entry_; }
    void Reset();

   private:
    friend class FolderSizeCache;
    Hold(FolderSizeCache* cache, Entry* entry) : cache_(cache), entry_(entry) {}

    FolderSizeCache* cache_ = nullptr;
    Entry* entry_ = nullptr;
  };

  explicit FolderSizeCache(platform::Clock& clock);
  ~FolderSizeCache() override;

  // Total bytes of the files below `path` (made absolute first); for the
  // file-system root "/", the bytes in use on that file system. Links to
  // folders are not followed. False when the folder cannot be read.
  [[nodiscard]] static bool FolderSize(const std::string& path, std::uint64_t* bytes);

  // A hold on the entry of `folder`; empty when the folder cannot be
  // measured. A folder is walked only when it gets its entry.
  [[nodiscard]] Hold Acquire(const std::string& folder);
  // Adjust the held entry and every cached folder above it (not below 0);
  // an empty hold changes nothing.
  void AddBytes(const Hold& hold, std::uint64_t bytes);
  void SubtractBytes(const Hold& hold, std::uint64_t bytes);
  std::uint64_t SizeOf(const Hold& hold) const;
  // The cached size of `folder` (made absolute first) without walking it:
  // false when the folder has no entry now. For pages that show sizes and
  // must not wait for a walk of a large tree.
  [[nodiscard]] bool CachedSize(const std::string& folder, std::uint64_t* bytes) const;

  // Removes the (empty) folder on disk unless its entry is in use.
  [[nodiscard]] bool RemoveFolder(const std::string& path);
  // Moves a folder on disk (never over anything at `to`, and only within one
  // file system); cached folders inside it move along, and the
  // folders above the old and the new place lose and gain its size.
  [[nodiscard]] bool MoveFolder(const std::string& from, const std::string& to);

  // One pass of the background thread: ages every entry by the whole
  // seconds passed since the previous pass, then drops or re-measures the
  // entries whose time ran out.
  void Sweep();
  std::size_t EntryCount() const;
  // Acquires that found their folder cached, and those that had to walk it.
  std::uint64_t Hits() const { return hits_.load(std::memory_order_relaxed); }
  std::uint64_t Misses() const { return misses_.load(std::memory_order_relaxed); }

 protected:
  void ThreadBody() override;

 private:
  // By absolute path ending in "/". A path may appear twice for a moment: a
  // folder moved to where a removed folder's entry still waits for the sweep.
  using Entries = std::multimap<std::string, Entry, std::less<>>;

  void Release(Entry* entry);
  Entry* FindLocked(const std::string& path);
  // Calls `visit` for the cached folders above `path`, nearest first.
  void ForEachAboveLocked(const std::string& path, const std::function<void(Entry&)>& visit);
  // Links `entry` (at `path`) to the cached folders above it.
  void LinkLocked(const std::string& path, Entry* entry);
  void UnlinkLocked(Entry* entry);
  void AdjustLocked(Entry* entry, std::uint64_t bytes, bool add);

  platform::Clock& clock_;
  mutable runtime::CriticalSection lock_;
  Entries entries_;                              // guarded by lock_; nodes never move
  // The time until the next entry is due; kWaitForever with none.
  std::uint32_t NextDueMs() const;

  platform::Event work_;                          // set when the first entry is made
  std::atomic<std::uint64_t> hits_{0};
  std::atomic<std::uint64_t> misses_{0};
  std::uint32_t last_sweep_tick_;                // sweeping thread only
  std::uint32_t carried_ms_ = 0;                 // sweeping thread only
};

}  // namespace quillon::fileutil
