#include "accounts/virtual_folder.h"

#include "accounts/messages.h"
#include "vfs/paths.h"
#include "vfs/text.h"

namespace quillon::accounts {

namespace {

// Characters no FTP path of ours may hold.
constexpr std::string_view kIllegalPathChars = "\"*:;'?><,|\t\n\r";

}  // namespace

void VirtualFolder::SetName(std::string_view name) {
  vfs::CopyText(&name_, name, kNameCapacity);
}

void VirtualFolder::SetPath(std::string_view path) { vfs::CopyText(&path_, path, kPathCapacity); }

bool VirtualFolder::Validate(std::string* message) {
  if (name_.empty()) {
    *message = messages::kNoFolderName;
    return false;
  }
  if (name_.find_first_of(kIllegalPathChars) != std::string::npos) {
    *message = messages::kIllegalFolderName;
    return false;
  }
  if (path_.empty()) {
    *message = messages::kNoFolderPath;
    return false;
  }
  if (!IsValidDiskFolder(path_)) {
    *message = messages::kFolderPathNotValid;
    return false;
  }
  if (!vfs::FolderExists(path_)) {
    *message = messages::kFolderPathNotFound;
    return false;
  }
  if (mUseMaxSize && mMaxSize == 0) {
    *message = messages::kFolderMaxSizeZero;
    return false;
  }
  // The editors take "\" as a separator; the name is then read as an FTP
  // path, each component as written.
  std::string full;
  if (name_.front() != '/' && name_.front() != '\\') full = "/";
  vfs::AppendText(&full, name_, 100);
  vfs::ReplaceChar(&full, '\\', '/');
  std::string normalised = vfs::NormalisePath(full);
  vfs::StripTrailing(&normalised, '/');
  if (normalised.size() < 2) {
    *message = messages::kFolderNameIncorrect;
    return false;
  }
  SetName(normalised);
  return true;
}

}  // namespace quillon::accounts
