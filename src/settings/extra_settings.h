// Settings beyond the fixed keys of the settings file, read from their own
// file ("config/quillon.conf"): one "key = value" per line, "#" begins a
// comment line, blanks around keys and values are ignored. A missing file
// means the defaults; unknown keys are kept (with their text) but change
// nothing.
//
// Keys:
//   run_as_user   the user a server started as root serves as, once its
//                 ports are open ("nobody"; "root" keeps root)
//   trash_max_mb  most megabytes the trash keeps before the oldest deleted
//                 files go for good (1024; 0: no limit)
//
// Thread-safety: none of its own; ServerSettings guards it with its lock.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace quillon::settings {

class ExtraSettings {
 public:
  static constexpr const char* kFileName = "quillon.conf";
  static constexpr const char* kDefaultRunAsUser = "nobody";
  static constexpr std::uint64_t kDefaultTrashMaxMb = 1024;
  // Larger files are not read.
  static constexpr std::uint64_t kMaxFileBytes = 1 << 20;

  // Defaults in place, then reads `path`. False with a message naming the
  // first line that is not "key = value" or holds a value that does not fit
  // its key (the lines before it apply). A missing file is not a failure.
  [[nodiscard]] bool Load(const std::string& path, std::string* message);
  void ResetToDefaults();

  const std::string& RunAsUser() const { return run_as_user_; }
  // The trash limit in bytes; 0 for none.
  std::uint64_t TrashMaxBytes() const { return trash_max_mb_ << 20; }
  // Keys this build does not know, with their values.
  const std::map<std::string, std::string>& UnknownKeys() const { return unknown_; }

 private:
  bool Apply(const std::string& key, const std::string& value);

  std::string run_as_user_ = kDefaultRunAsUser;
  std::uint64_t trash_max_mb_ = kDefaultTrashMaxMb;
  std::map<std::string, std::string> unknown_;
};

}  // namespace quillon::settings
