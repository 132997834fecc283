// The folder-size cache with many entries: 50,000 cached folders (250
// folders of 200 sub-folders each, all empty), timed for
//  - acquiring every folder once (each new entry links to those above it);
//  - acquiring and releasing cached folders again (the lookup every upload,
//    delete and space check makes, under the cache lock);
//  - a sweep that ages every entry without dropping any;
//  - moving a folder that holds 200 cached sub-folders;
//  - a sweep that drops every entry.
// Usage: folder_cache_bench [folders per group]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/manual_clock.h"
#include "support/temp_dir.h"
#include "fileutil/folder_size_cache.h"

namespace {

using namespace quillon;

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  const int children = argc > 1 ? std::atoi(argv[1]) : 200;
  constexpr int kGroups = 250;
  testing::TempDir dir;
  std::vector<std::string> folders;
  for (int g = 0; g < kGroups; ++g) {
    const std::string group = dir.File("g" + std::to_string(g));
    for (int c = 0; c < children; ++c) {
      folders.push_back(group + "/c" + std::to_string(c));
      std::filesystem::create_directories(folders.back());
    }
  }
  testing::ManualClock clock;
  fileutil::FolderSizeCache cache(clock);

  auto start = std::chrono::steady_clock::now();
  std::vector<fileutil::FolderSizeCache::Hold> held;
  for (const std::string& folder : folders) held.push_back(cache.Acquire(folder));
  // The group folders too, so every child has a cached folder above it.
  for (int g = 0; g < kGroups; ++g) held.push_back(cache.Acquire(dir.File("g" + std::to_string(g))));
  std::printf("acquire %zu new entries: %.1f ms\n", held.size(), MsSince(start));

  start = std::chrono::steady_clock::now();
  constexpr int kLookups = 20'000;
  for (int i = 0; i < kLookups; ++i) {
    const fileutil::FolderSizeCache::Hold entry = cache.Acquire(folders[(i * 7919) % folders.size()]);
    cache.AddBytes(entry, 1);
  }
  std::printf("%d lookups with AddBytes: %.1f ms (%.2f us each)\n", kLookups, MsSince(start),
              MsSince(start) * 1000.0 / kLookups);

  held.clear();
  clock.Advance(1000);
  start = std::chrono::steady_clock::now();
  cache.Sweep();
  std::printf("sweep of %zu entries, none due: %.1f ms\n", cache.EntryCount(), MsSince(start));

  start = std::chrono::steady_clock::now();
  if (!cache.MoveFolder(dir.File("g0"), dir.File("moved"))) std::printf("move failed\n");
  std::printf("move of a folder with %d cached sub-folders: %.1f ms\n", children, MsSince(start));

  clock.Advance(fileutil::FolderSizeCache::kTimeToLiveSeconds * 1000);
  start = std::chrono::steady_clock::now();
  cache.Sweep();
  std::printf("sweep dropping every entry: %.1f ms, %zu left\n", MsSince(start), cache.EntryCount());
  return 0;
}
