// A named alias folder of an account or group: an FTP path such as
// /pub/music that maps to a disk folder, with rights and limits of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "accounts/access_rights.h"

namespace quillon::accounts {

// A disk folder the editors accept: an absolute path of 2 or more characters.
inline bool IsValidDiskFolder(std::string_view path) {
  return path.size() >= 2 && path.front() == '/';
}

class VirtualFolder {
 public:
  // Widths of the stored text fields (characters + NUL).
  static constexpr std::size_t kNameCapacity = 257;
  static constexpr std::size_t kPathCapacity = 257;

  // The FTP path of the alias, with a leading "/" once validated. Setting it
  // keeps NameLength() in step.
  const std::string& Name() const { return name_; }
  void SetName(std::string_view name);
  std::uint32_t NameLength() const { return static_cast<std::uint32_t>(name_.size()); }
  // The disk folder it maps to.
  const std::string& Path() const { return path_; }
  void SetPath(std::string_view path);

  // Checks an edited folder and, on success, normalises its name (leading
  // "/", "/" separators, no "." or ".." steps, no trailing "/"). False with
  // the message of the first failed check.
  [[nodiscard]] bool Validate(std::string* message);

  bool operator==(const VirtualFolder&) const = default;

  AccessRights mRights = kDefaultRights;
  bool mVisible = true;
  bool mCountsTowardsSize = true;
  bool mUseMaxSize = false;
  std::uint32_t mMaxSize = 0;  // megabytes
  bool mCreditsExempt = false;

 private:
  std::string name_;
  std::string path_;
};

}  // namespace quillon::accounts
