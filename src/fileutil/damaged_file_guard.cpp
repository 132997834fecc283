#include "fileutil/damaged_file_guard.h"

#include "fileutil/directory_enumerator.h"
#include "fileutil/file_handle.h"
#include "fileutil/paths.h"
#include "fileutil/time_format.h"

namespace quillon::fileutil {

namespace {

std::string FolderOf(const std::string& path) {
  std::string folder;
  return ParentFolder(path, &folder, platform::kMaxPathBytes) ? folder : std::string(".");
}

}  // namespace

std::string DamageReport::Text() const {
  std::string text = file + ": " + detail;
  if (!consequence.empty()) text += "; " + consequence;
  text += kept.empty() ? "; the original could not be kept aside, so nothing is saved over it"
                       : "; the original is kept as " + kept;
  return text;
}

DamagedFileGuard::DamagedFileGuard(std::string path, FileWriter& writer, platform::Clock& clock)
    : path_(std::move(path)),
      folder_(FolderOf(path_)),
      name_(FileNamePart(path_)),
      shown_folder_(FileNamePart(folder_).empty() ? std::string() : FileNamePart(folder_) + "/"),
      writer_(writer),
      clock_(clock) {}

void DamagedFileGuard::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  damaged_ = false;
  original_.clear();
  report_ = DamageReport();
}

void DamagedFileGuard::Found(std::string_view bytes, std::string detail, std::string consequence) {
  std::lock_guard<std::mutex> guard(lock_);
  damaged_ = true;
  original_.assign(bytes);
  report_ = DamageReport{shown_folder_ + name_, std::move(detail), std::move(consequence), {}};
  [[maybe_unused]] const bool kept = KeepLocked();
}

bool DamagedFileGuard::SaveAllowed() {
  std::lock_guard<std::mutex> guard(lock_);
  return !damaged_ || KeepLocked();
}

std::optional<DamageReport> DamagedFileGuard::Report() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (!damaged_) return std::nullopt;
  return report_;
}

std::string DamagedFileGuard::EarlierCopyLocked() const {
  const std::string prefix = name_ + std::string(kCopyMark);
  DirectoryEntry entry;
  DirectoryEnumerator walk;
  for (bool more = walk.First(folder_, &entry, {.files = true}); more; more = walk.Next(&entry)) {
    if (entry.name.rfind(prefix, 0) != 0 || entry.size != original_.size()) continue;
    std::string bytes;
    if (ReadWholeFile(folder_ + "/" + entry.name, original_.size(), &bytes,
                      platform::Links::kRefuse) &&
        bytes == original_)
      return entry.name;
  }
  return {};
}

bool DamagedFileGuard::KeepLocked() {
  if (!report_.kept.empty()) return true;
  std::string name = EarlierCopyLocked();
  if (name.empty()) {
    // "YYYYMMDDhhmmss" in UTC, parted after the date.
    const platform::FileTime now{clock_.WallTimeNs() / 1'000'000'000, 0};
    const std::string stamp = FormatMdtm(now, false);
    const std::string base =
        name_ + std::string(kCopyMark) + stamp.substr(0, 8) + "-" + stamp.substr(8);
    for (int suffix = 1; suffix <= kMaxSuffix && name.empty(); ++suffix) {
      const std::string candidate = suffix == 1 ? base : base + "-" + std::to_string(suffix);
      bool taken = false;
      if (writer_.CreateNewFile(folder_ + "/" + candidate, original_, FileHandle::kOwnerOnlyFile,
                                &taken)) {
        name = candidate;
      } else if (!taken) {
        return false;
      }
    }
    if (name.empty()) return false;
  }
  report_.kept = shown_folder_ + name;
  return true;
}

}  // namespace quillon::fileutil
