#include "accounts/virtual_folder.h"

#include "accounts/messages.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"

namespace quillon::accounts {

namespace {

// Characters no FTP path of ours may hold.
constexpr std::string_view kIllegalPathChars = "\"*:;'?><,|\t\n\r";

}  // namespace

void VirtualFolder::SetName(std::string_view name) {
  fileutil::CopyText(&name_, name, kNameCapacity);
}

void VirtualFolder::SetPath(std::string_view path) { fileutil::CopyText(&path_, path, kPathCapacity); }

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
  if (!fileutil::FolderExists(path_)) {
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
  fileutil::AppendText(&full, name_, 100);
  fileutil::ReplaceChar(&full, '\\', '/');
  std::string normalised = fileutil::NormalisePath(full);
  fileutil::StripTrailing(&normalised, '/');
  if (normalised.size() < 2) {
    *message = messages::kFolderNameIncorrect;
    return false;
  }
  SetName(normalised);
  return true;
}

}  // namespace quillon::accounts
