#include "accountfs/quota.h"

#include <algorithm>
#include <limits>

#include "accountfs/messages.h"

namespace quillon::accountfs {

namespace {

constexpr std::uint64_t kMaxBalance = std::numeric_limits<std::uint32_t>::max();

bool Fail(std::string* message, const char* text) {
  *message = text;
  return false;
}

std::int64_t RateOf(const accounts::EffectiveRecord& record, bool upload) {
  return upload ? record.mUploadCredits : record.mDownloadCredits;
}

}  // namespace

bool Quota::CheckSpace(const accounts::EffectiveRecord& record, const AreaLimits& limits,
                       std::optional<std::uint64_t> needed, std::string* message) const {
  if (record.mUseMaxSize && limits.counts_towards_account) {
    const std::uint64_t free_space = FreeSpace(record);
    if (needed.has_value() && free_space < *needed) return Fail(message, messages::kNotEnoughSpace);
    if (!needed.has_value() && free_space == 0) return Fail(message, messages::kAllocationReached);
  }
  if (!limits.limited_folder.empty() && limits.folder_limit_on) {
    std::uint64_t used = 0;
    if (!FolderBytes(limits.limited_folder, &used)) return Fail(message, messages::kResourceError);
    if (needed.has_value() && used + *needed > limits.folder_limit)
      return Fail(message, messages::kNotEnoughSpace);
    if (!needed.has_value() && used >= limits.folder_limit)
      return Fail(message, messages::kAllocationReached);
  }
  return true;
}

std::uint64_t Quota::FreeSpace(const accounts::EffectiveRecord& record) const {
  if (!record.mUseMaxSize) return 0;
  std::uint64_t used = 0;
  std::uint64_t bytes = 0;
  // Folders that cannot be read add nothing.
  if (record.mUseRootFolder && FolderBytes(record.RootFolder(), &bytes)) used += bytes;
  for (const accounts::VirtualFolder& folder : record.VirtualFolders())
    if (folder.mCountsTowardsSize && FolderBytes(folder.Path(), &bytes)) used += bytes;
  const std::uint64_t allocation = std::uint64_t{record.mMaxSize} * kMegabyte;
  return used >= allocation ? 0 : allocation - used;
}

bool Quota::FolderBytes(const std::string& disk_folder, std::uint64_t* bytes) const {
  const fileutil::FolderSizeCache::Hold entry = cache_.Acquire(disk_folder);
  if (!entry) return false;
  *bytes = cache_.SizeOf(entry);
  return true;
}

std::uint32_t Quota::Added(std::uint32_t balance, std::uint64_t n) {
  return static_cast<std::uint32_t>(std::min(std::uint64_t{balance} + std::min(n, kMaxBalance), kMaxBalance));
}

std::uint32_t Quota::Subtracted(std::uint32_t balance, std::uint64_t n) {
  return balance > n ? static_cast<std::uint32_t>(balance - n) : 0;
}

bool Quota::LacksCredits(const accounts::EffectiveRecord& record, bool upload, const AreaLimits& limits) {
  return record.mUseCredits && record.mCurrentCredits == 0 && RateOf(record, upload) < 0 &&
         !limits.credit_exempt;
}

void Quota::ChargeStart(accounts::EffectiveRecord* record, bool upload, const AreaLimits& limits) {
  const std::int64_t rate = RateOf(*record, upload);
  if (!record->mUseCredits || rate >= 0 || limits.credit_exempt) return;
  record->mCurrentCredits = Subtracted(record->mCurrentCredits, static_cast<std::uint64_t>(-rate));
}

bool Quota::Book(accounts::EffectiveRecord* record, bool upload, std::uint64_t bytes,
                 std::uint32_t* remainder) {
  if (!record->mUseCredits) return true;
  const std::int64_t rate = RateOf(*record, upload);
  const std::uint64_t total = bytes + *remainder;
  const std::uint64_t kb = total / 1024;
  if (rate >= 0) {
    record->mCurrentCredits = Added(record->mCurrentCredits, kb * static_cast<std::uint64_t>(rate));
  } else {
    const std::uint64_t cost = kb * static_cast<std::uint64_t>(-rate);
    if (record->mCurrentCredits < cost) {
      record->mCurrentCredits = 0;
      return false;
    }
    record->mCurrentCredits -= static_cast<std::uint32_t>(cost);
  }
  *remainder = static_cast<std::uint32_t>(total % 1024);
  return true;
}

}  // namespace quillon::accountfs
