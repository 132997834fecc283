#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/fs.h"

namespace quillon::testing {

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string OtherFileSystemBase() {
  const std::string candidate = "/dev/shm";
  platform::PathInfo temporary, other;
  if (!platform::StatPath(std::filesystem::temp_directory_path().string(), &temporary) ||
      !platform::StatPath(candidate, &other) || !other.is_folder || other.device == temporary.device)
    return {};
  return candidate;
}

}  // namespace quillon::testing
