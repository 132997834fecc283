#include "vfs/folder_size_cache.h"

#include <algorithm>

#include "platform/fs.h"
#include "vfs/paths.h"

namespace quillon::vfs {

struct FolderSizeCache::Entry {
  std::string path;  // absolute, ends with "/"
  std::uint64_t size = 0;
  std::uint32_t time_to_live = kTimeToLiveSeconds;
  std::vector<Entry*> links;  // cached folders above this one, at most kMaxLinks
  std::uint32_t linked_descendants = 0;
  std::uint32_t use_count = 0;
};

namespace {

bool IsBelow(const std::string& path, const std::string& ancestor) {
  return path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0;
}

}  // namespace

FolderSizeCache::FolderSizeCache(platform::Clock& clock)
    : clock_(clock), last_sweep_tick_(clock.TickMs()) {}

FolderSizeCache::~FolderSizeCache() { Stop(kStopWaitMs); }

bool FolderSizeCache::FolderSize(const std::string& path, std::uint64_t* bytes) {
  const std::string root = AbsoluteFolder(path);
  if (root == "/") return platform::FileSystemUsedBytes(root, bytes);
  void* first = platform::OpenDirectory(root);
  if (first == nullptr) return false;
  // An explicit stack: deep trees must not exhaust a session's small stack.
  std::vector<std::pair<std::string, void*>> pending;
  pending.emplace_back(root, first);
  std::uint64_t total = 0;
  std::string name;
  while (!pending.empty()) {
    auto& [folder, directory] = pending.back();
    if (!platform::NextDirectoryEntry(directory, &name)) {
      platform::CloseDirectory(directory);
      pending.pop_back();
      continue;
    }
    if (name == "." || name == "..") continue;
    std::string child = folder + name;
    platform::PathInfo info;
    if (!platform::StatPathNoFollow(child, &info)) continue;
    if (info.is_link) {
      // A linked file counts; a linked folder is not entered (no loops).
      if (platform::StatPath(child, &info) && !info.is_folder) total += info.size;
    } else if (info.is_folder) {
      child.push_back('/');
      if (void* sub = platform::OpenDirectory(child)) pending.emplace_back(std::move(child), sub);
    } else {
      total += info.size;
    }
  }
  *bytes = total;
  return true;
}

FolderSizeCache::Entry* FolderSizeCache::FindLocked(const std::string& path) const {
  for (const auto& entry : entries_)
    if (entry->path == path) return entry.get();
  return nullptr;
}

FolderSizeCache::Entry* FolderSizeCache::Acquire(const std::string& folder) {
  const std::string path = AbsoluteFolder(folder);
  {
    runtime::CriticalSection::Guard guard(lock_);
    if (Entry* entry = FindLocked(path)) {
      ++entry->use_count;
      return entry;
    }
  }
  std::uint64_t size = 0;
  if (!FolderSize(path, &size)) return nullptr;

  runtime::CriticalSection::Guard guard(lock_);
  if (Entry* entry = FindLocked(path)) {  // made by another thread meanwhile
    ++entry->use_count;
    return entry;
  }
  auto created = std::make_unique<Entry>();
  Entry* entry = created.get();
  entry->path = path;
  entry->size = size;
  entry->use_count = 1;
  for (const auto& other : entries_) {
    if (IsBelow(path, other->path) && entry->links.size() < kMaxLinks) {
      entry->links.push_back(other.get());
      ++other->linked_descendants;
    } else if (IsBelow(other->path, path) && other->links.size() < kMaxLinks) {
      other->links.push_back(entry);
      ++entry->linked_descendants;
    }
  }
  entries_.push_back(std::move(created));
  return entry;
}

void FolderSizeCache::Release(Entry* entry) {
  if (entry == nullptr) return;
  runtime::CriticalSection::Guard guard(lock_);
  if (entry->use_count > 0) --entry->use_count;
}

void FolderSizeCache::AdjustLocked(Entry* entry, std::uint64_t bytes, bool add) {
  auto adjust = [&](Entry* target) {
    if (add) {
      target->size += bytes;
    } else {
      target->size = target->size > bytes ? target->size - bytes : 0;
    }
  };
  adjust(entry);
  for (Entry* above : entry->links) adjust(above);
}

void FolderSizeCache::AddBytes(Entry* entry, std::uint64_t bytes) {
  if (entry == nullptr) return;
  runtime::CriticalSection::Guard guard(lock_);
  AdjustLocked(entry, bytes, true);
}

void FolderSizeCache::SubtractBytes(Entry* entry, std::uint64_t bytes) {
  if (entry == nullptr) return;
  runtime::CriticalSection::Guard guard(lock_);
  AdjustLocked(entry, bytes, false);
}

std::uint64_t FolderSizeCache::SizeOf(const Entry* entry) const {
  runtime::CriticalSection::Guard guard(lock_);
  return entry != nullptr ? entry->size : 0;
}

bool FolderSizeCache::RemoveFolder(const std::string& path) {
  const std::string absolute = AbsoluteFolder(path);
  runtime::CriticalSection::Guard guard(lock_);
  Entry* entry = FindLocked(absolute);
  if (entry != nullptr && entry->use_count > 0) return false;
  if (!platform::RemoveEmptyFolder(path, nullptr)) return false;
  if (entry != nullptr) entry->time_to_live = 0;  // dropped by the next sweep
  return true;
}

bool FolderSizeCache::MoveFolder(const std::string& from, const std::string& to) {
  const std::string old_path = AbsoluteFolder(from);
  const std::string new_path = AbsoluteFolder(to);
  std::uint64_t size = 0;
  const bool measured = FolderSize(old_path, &size);
  if (!platform::RenamePath(from, to, nullptr)) return false;

  runtime::CriticalSection::Guard guard(lock_);
  for (const auto& entry : entries_) {
    if (entry->path.compare(0, old_path.size(), old_path) == 0) {
      entry->path = new_path + entry->path.substr(old_path.size());
    } else if (measured && IsBelow(old_path, entry->path)) {
      entry->size = entry->size > size ? entry->size - size : 0;
    }
  }
  if (measured) {
    for (const auto& entry : entries_)
      if (IsBelow(new_path, entry->path)) entry->size += size;
  }
  RelinkAllLocked();
  return true;
}

void FolderSizeCache::RelinkAllLocked() {
  for (const auto& entry : entries_) {
    entry->links.clear();
    entry->linked_descendants = 0;
  }
  for (const auto& entry : entries_) {
    for (const auto& other : entries_) {
      if (IsBelow(entry->path, other->path) && entry->links.size() < kMaxLinks) {
        entry->links.push_back(other.get());
        ++other->linked_descendants;
      }
    }
  }
}

void FolderSizeCache::Sweep() {
  const std::uint32_t now = clock_.TickMs();
  const std::uint32_t elapsed = now - last_sweep_tick_ + carried_ms_;
  last_sweep_tick_ = now;
  carried_ms_ = elapsed % 1000;
  const std::uint32_t seconds = elapsed / 1000;

  struct Due {
    Entry* entry;
    std::string path;
  };
  std::vector<Due> due;
  {
    runtime::CriticalSection::Guard guard(lock_);
    for (const auto& entry : entries_) {
      entry->time_to_live = entry->time_to_live > seconds ? entry->time_to_live - seconds : 0;
    }
    // Drop expired entries nothing uses. Dropping one may free the folders
    // above it, so repeat until nothing more goes.
    bool dropped = true;
    while (dropped) {
      dropped = false;
      for (std::size_t i = 0; i < entries_.size(); ++i) {
        Entry* entry = entries_[i].get();
        if (entry->time_to_live != 0 || entry->use_count != 0 || entry->linked_descendants != 0)
          continue;
        for (Entry* above : entry->links) --above->linked_descendants;
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
        dropped = true;
        break;
      }
    }
    for (const auto& entry : entries_) {
      if (entry->time_to_live == 0) {
        entry->time_to_live = kTimeToLiveSeconds;
        due.push_back({entry.get(), entry->path});
      }
    }
  }
  // Entries are removed only here, on this thread, so `due` stays valid.
  for (const Due& item : due) {
    std::uint64_t size = 0;
    if (!FolderSize(item.path, &size)) continue;
    runtime::CriticalSection::Guard guard(lock_);
    if (size > item.entry->size) {
      AdjustLocked(item.entry, size - item.entry->size, true);
    } else if (size < item.entry->size) {
      AdjustLocked(item.entry, item.entry->size - size, false);
    }
  }
}

std::size_t FolderSizeCache::EntryCount() const {
  runtime::CriticalSection::Guard guard(lock_);
  return entries_.size();
}

void FolderSizeCache::ThreadBody() {
  while (!StopEvent().Wait(kSweepIntervalMs)) Sweep();
}

}  // namespace quillon::vfs
