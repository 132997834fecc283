// Helpers of the fuzz targets: a property check that stops the run, and a
// scratch folder for targets that must go through files (stores, request
// bodies), one per process, in memory where the machine allows.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/process.h"

namespace quillon::fuzz {

// A property of the code under test that failed: the fuzzer keeps the input.
inline void Check(bool condition) {
  if (!condition) std::abort();
}

inline const std::string& ScratchFolder() {
  static const std::string folder = [] {
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    const std::filesystem::path path =
        base / ("quillon-fuzz-" + std::to_string(platform::CurrentProcessId()));
    std::filesystem::create_directories(path);
    return path.string();
  }();
  return folder;
}

// The scratch folder emptied of what the last input left there (loads keep
// copies of damaged files beside them), so inputs do not pile files up.
inline const std::string& EmptyScratchFolder() {
  const std::string& folder = ScratchFolder();
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
    std::filesystem::remove_all(entry.path(), ignored);
  return folder;
}

// Replaces the file at `path` with `bytes`.
inline void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace quillon::fuzz
