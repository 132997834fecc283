// An account's two quotas: its space allocation (the account's total size,
// and each virtual folder's own limit) and its transfer credits (a balance
// that uploads and downloads add to or take from, per KB, at the account's
// signed rates).
//
// The balance and the limits live in the account's record, which the
// account file system guards; the quota works on the record it is handed,
// under that lock, and reads folder sizes from the folder-size cache.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "accounts/effective_record.h"
#include "fileutil/folder_size_cache.h"

namespace quillon::accountfs {

inline constexpr std::uint64_t kMegabyte = 1'048'576;

// Limits of the place a file lies in: the root folder, or a virtual folder.
struct AreaLimits {
  bool counts_towards_account = true;
  std::string limited_folder;  // disk path of the virtual folder; "" for the root
  bool folder_limit_on = false;
  std::uint64_t folder_limit = 0;  // bytes
  bool credit_exempt = false;
};

class Quota {
 public:
  explicit Quota(fileutil::FolderSizeCache& cache) : cache_(cache) {}

  // Space: room for `needed` more bytes in a place with `limits`; without
  // `needed`, whether there is any room at all. False with the message.
  [[nodiscard]] bool CheckSpace(const accounts::EffectiveRecord& record, const AreaLimits& limits,
                                std::optional<std::uint64_t> needed, std::string* message) const;
  // The bytes left of the account's allocation (0 when it has none).
  std::uint64_t FreeSpace(const accounts::EffectiveRecord& record) const;
  // The current size of a folder, from the cache.
  [[nodiscard]] bool FolderBytes(const std::string& disk_folder, std::uint64_t* bytes) const;

  // Credits. The balance saturates at 4294967295 and stops at 0.
  static std::uint32_t Added(std::uint32_t balance, std::uint64_t n);
  static std::uint32_t Subtracted(std::uint32_t balance, std::uint64_t n);
  // A transfer that costs credits cannot start on an empty balance.
  static bool LacksCredits(const accounts::EffectiveRecord& record, bool upload,
                           const AreaLimits& limits);
  // Starting a transfer that costs credits takes one KB's worth at once.
  static void ChargeStart(accounts::EffectiveRecord* record, bool upload, const AreaLimits& limits);
  // Books `bytes` moved in one direction at the record's rate, carrying the
  // part of a KB in *remainder. False (balance now 0) when it ran out.
  [[nodiscard]] static bool Book(accounts::EffectiveRecord* record, bool upload, std::uint64_t bytes,
                                 std::uint32_t* remainder);

 private:
  fileutil::FolderSizeCache& cache_;
};

}  // namespace quillon::accountfs
