// A fresh folder under the system's temporary folder, removed with
// everything in it when the object goes.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <string_view>

namespace quillon::testing {

class TempDir {
 public:
  // A folder in `base` (default: the system's temporary folder).
  explicit TempDir(std::filesystem::path base = std::filesystem::temp_directory_path()) {
    std::random_device random;
    std::filesystem::create_directories(base);
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = base / ("quillon-test-" + std::to_string(random()));
      if (std::filesystem::create_directory(path_)) return;
    }
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder, without a trailing "/".
  std::string Path() const { return path_.string(); }
  // A path inside the folder.
  std::string File(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Helpers over whole files, for arranging and checking disk state.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, std::string_view bytes);

// The folder in which a TempDir lies on another file system than the system's
// temporary folder (/dev/shm, memory-backed on most machines), or "" where
// there is none. Tests of moves between file systems skip without it.
std::string OtherFileSystemBase();

}  // namespace quillon::testing
