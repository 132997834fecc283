#include "fileutil/folder_size_cache.h"

#include <algorithm>

#include "platform/fs.h"
#include "fileutil/paths.h"

namespace quillon::fileutil {

struct FolderSizeCache::Entry {
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
    : clock_(clock), last_sweep_tick_(clock.TickMs()) {
  clock_.WakeOnAdvance(&work_);
}

FolderSizeCache::~FolderSizeCache() {
  Stop(kStopWaitMs);
  clock_.StopWakingOnAdvance(&work_);
}

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

FolderSizeCache::Entry* FolderSizeCache::FindLocked(const std::string& path) {
  const auto found = entries_.find(path);
  return found != entries_.end() ? &found->second : nullptr;
}

void FolderSizeCache::ForEachAboveLocked(const std::string& path,
                                         const std::function<void(Entry&)>& visit) {
  // Every folder above "/a/b/c/" is a prefix of it ending in "/".
  for (std::size_t end = path.size() - 1; end > 0;) {
    end = path.rfind('/', end - 1);
    if (end == std::string::npos) break;
    if (Entry* above = FindLocked(path.substr(0, end + 1))) visit(*above);
  }
}

void FolderSizeCache::LinkLocked(const std::string& path, Entry* entry) {
  ForEachAboveLocked(path, [entry](Entry& above) {
    if (entry->links.size() >= kMaxLinks) return;
    entry->links.push_back(&above);
    ++above.linked_descendants;
  });
}

void FolderSizeCache::UnlinkLocked(Entry* entry) {
  for (Entry* above : entry->links) --above->linked_descendants;
  entry->links.clear();
}

FolderSizeCache::Hold& FolderSizeCache::Hold::operator=(Hold&& other) noexcept {
  if (this != &other) {
    Reset();
    cache_ = other.cache_;
    entry_ = other.entry_;
    other.entry_ = nullptr;
  }
  return *this;
}

void FolderSizeCache::Hold::Reset() {
  if (entry_ != nullptr) cache_->Release(entry_);
  entry_ = nullptr;
}

FolderSizeCache::Hold FolderSizeCache::Acquire(const std::string& folder) {
  const std::string path = AbsoluteFolder(folder);
  {
    runtime::CriticalSection::Guard guard(lock_);
    if (Entry* entry = FindLocked(path)) {
      ++entry->use_count;
      hits_.fetch_add(1, std::memory_order_relaxed);
      return Hold(this, entry);
    }
  }
  misses_.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t size = 0;
  if (!FolderSize(path, &size)) return Hold();

  runtime::CriticalSection::Guard guard(lock_);
  if (Entry* entry = FindLocked(path)) {  // made by another thread meanwhile
    ++entry->use_count;
    return Hold(this, entry);
  }
  if (entries_.empty()) work_.Set();  // the sweeping thread sleeps while there are none
  const auto at = entries_.emplace(path, Entry{});
  Entry* entry = &at->second;
  entry->use_count = 1;
  entry->size = size;
  LinkLocked(path, entry);
  // Cached folders below the new one (right after it in path order) link to it.
  for (auto below = std::next(at); below != entries_.end() && IsBelow(below->first, path); ++below) {
    if (below->second.links.size() >= kMaxLinks) continue;
    below->second.links.push_back(entry);
    ++entry->linked_descendants;
  }
  return Hold(this, entry);
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

void FolderSizeCache::AddBytes(const Hold& hold, std::uint64_t bytes) {
  if (!hold) return;
  runtime::CriticalSection::Guard guard(lock_);
  AdjustLocked(hold.Get(), bytes, true);
}

void FolderSizeCache::SubtractBytes(const Hold& hold, std::uint64_t bytes) {
  if (!hold) return;
  runtime::CriticalSection::Guard guard(lock_);
  AdjustLocked(hold.Get(), bytes, false);
}

std::uint64_t FolderSizeCache::SizeOf(const Hold& hold) const {
  runtime::CriticalSection::Guard guard(lock_);
  return hold ? hold.Get()->size : 0;
}

bool FolderSizeCache::CachedSize(const std::string& folder, std::uint64_t* bytes) const {
  const std::string path = AbsoluteFolder(folder);
  runtime::CriticalSection::Guard guard(lock_);
  const auto found = entries_.find(path);
  if (found == entries_.end()) return false;
  *bytes = found->second.size;
  return true;
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
  if (!platform::RenameNoReplace(from, to, nullptr)) return false;

  runtime::CriticalSection::Guard guard(lock_);
  if (measured) {
    ForEachAboveLocked(old_path, [size](Entry& above) {
      above.size = above.size > size ? above.size - size : 0;
    });
  }
  // The moved entries (the folder's own and those below it, one run in path
  // order) take their new paths; the nodes, and so every pointer, stay.
  std::vector<Entries::node_type> moved;
  for (auto it = entries_.lower_bound(old_path);
       it != entries_.end() && it->first.compare(0, old_path.size(), old_path) == 0;)
    moved.push_back(entries_.extract(it++));
  for (auto& node : moved) UnlinkLocked(&node.mapped());
  for (auto& node : moved) {
    node.key() = new_path + node.key().substr(old_path.size());
    entries_.insert(std::move(node));
  }
  // Their links to one another are rebuilt along with those to the folders
  // above the new place.
  for (auto it = entries_.lower_bound(new_path);
       it != entries_.end() && it->first.compare(0, new_path.size(), new_path) == 0; ++it)
    LinkLocked(it->first, &it->second);
  if (measured) ForEachAboveLocked(new_path, [size](Entry& above) { above.size += size; });
  return true;
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
    // From the last path to the first, a folder comes after everything below
    // it: by the time a folder is looked at, the expired entries below it
    // that nothing uses have gone, so one pass drops all that can go.
    for (auto it = entries_.end(); it != entries_.begin();) {
      --it;
      Entry& entry = it->second;
      entry.time_to_live = entry.time_to_live > seconds ? entry.time_to_live - seconds : 0;
      if (entry.time_to_live != 0) continue;
      if (entry.use_count == 0 && entry.linked_descendants == 0) {
        UnlinkLocked(&entry);
        it = entries_.erase(it);
        continue;
      }
      entry.time_to_live = kTimeToLiveSeconds;
      due.push_back({&entry, it->first});
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

std::uint32_t FolderSizeCache::NextDueMs() const {
  runtime::CriticalSection::Guard guard(lock_);
  if (entries_.empty()) return platform::kWaitForever;
  std::uint32_t seconds = kTimeToLiveSeconds;
  for (const auto& [path, entry] : entries_) seconds = std::min(seconds, entry.time_to_live);
  // Aged by the time since the last sweep: the sweep comes when that reaches
  // the shortest time to live.
  const std::uint64_t elapsed = std::uint64_t{clock_.TickMs() - last_sweep_tick_} + carried_ms_;
  const std::uint64_t due = std::uint64_t{seconds} * 1000;
  return due > elapsed ? static_cast<std::uint32_t>(due - elapsed) : 0;
}

void FolderSizeCache::ThreadBody() {
  for (;;) {
    work_.Reset();
    const std::uint32_t due = NextDueMs();
    if (WaitForStopOr(work_, due)) return;
    if (due == platform::kWaitForever) {
      // The first entry was just made: nothing aged while there was none.
      last_sweep_tick_ = clock_.TickMs();
      carried_ms_ = 0;
      continue;
    }
    Sweep();
  }
}

}  // namespace quillon::fileutil
