#include "accounts/account_record.h"

#include <algorithm>
#include <cstdio>

#include "accounts/account_store.h"
#include "accounts/messages.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"
#include "fileutil/stored_password.h"

namespace quillon::accounts {

namespace {

// Characters refused in logins and group names; every other byte passes.
constexpr std::string_view kIllegalNameChars =
    " !\"\xA3$%^&*()+={}~#][:;'?><,/|\\\xAC`\t\n\r";
constexpr std::string_view kIllegalPasswordChars = "\";><\t\n\r";
constexpr std::string_view kIllegalStartDirChars = "\"*:;'?><,|\t\n\r";

bool Fail(std::string* message, const char* text) {
  *message = text;
  return false;
}

}  // namespace

void AccountRecord::SetName(std::string_view name) {
  fileutil::CopyText(&name_, name, kNameCapacity);
  UpdateAnonymous();
}

void AccountRecord::SetPassword(std::string_view password) {
  fileutil::CopyText(&password_, password, kPasswordCapacity);
  UpdateAnonymous();
}

bool AccountRecord::SetNewPassword(std::string_view password, bool hashed, std::string* error) {
  std::string field;
  if (!fileutil::StoredPasswordForm(password, hashed, &field, error)) return false;
  SetPassword(field);
  return true;
}

void AccountRecord::UpdateAnonymous() {
  anonymous_ = fileutil::EqualNoCase(name_, "anonymous") && password_.empty();
}

void AccountRecord::SetGroup(std::string_view group) {
  fileutil::CopyText(&group_, group, kGroupCapacity);
}

void AccountRecord::SetRootFolder(std::string_view folder) {
  fileutil::CopyText(&root_folder_, folder, kFolderCapacity);
}

void AccountRecord::SetStartDir(std::string_view folder) {
  fileutil::CopyText(&start_dir_, folder, kFolderCapacity);
}

bool AccountRecord::HasLegalNameCharacters(std::string_view name) {
  return name.find_first_of(kIllegalNameChars) == std::string_view::npos;
}

bool AccountRecord::MatchName(std::string_view name) const { return fileutil::EqualNoCase(name, name_); }

bool AccountRecord::MatchLogin(std::string_view name, std::string_view password) const {
  if (!MatchName(name)) return false;
  if (anonymous_) return true;
  return fileutil::StoredPasswordMatches(password, password_);
}

bool AccountRecord::MatchStoredPassword(std::string_view name, std::string_view field) const {
  return MatchName(name) && (anonymous_ || field == password_);
}

int AccountRecord::FindFolder(std::string_view name) const {
  for (std::size_t i = 0; i < folders_.size(); ++i)
    if (fileutil::EqualNoCase(folders_[i].Name(), name)) return static_cast<int>(i);
  return -1;
}

void AccountRecord::RemoveFolder(std::size_t index) {
  if (index < folders_.size()) folders_.erase(folders_.begin() + static_cast<std::ptrdiff_t>(index));
}

void AccountRecord::AddOrReplaceFolder(const VirtualFolder& folder) {
  const int at = FindFolder(folder.Name());
  if (at >= 0) {
    folders_[static_cast<std::size_t>(at)] = folder;
  } else {
    folders_.push_back(folder);
  }
}

void AccountRecord::SortVirtualFolders() {
  // A stable sort of the reversed list: equal lengths keep "later first".
  std::reverse(folders_.begin(), folders_.end());
  std::stable_sort(folders_.begin(), folders_.end(),
                   [](const VirtualFolder& a, const VirtualFolder& b) {
                     return a.NameLength() > b.NameLength();
                   });
}

bool AccountRecord::Validate(std::string_view previous_name, bool is_group,
                             const AccountStore& same_kind, const AccountStore& groups,
                             std::string* message) const {
  if (name_.empty()) return Fail(message, is_group ? messages::kNoGroupName : messages::kNoUserLogin);
  if (!HasLegalNameCharacters(name_))
    return Fail(message, is_group ? messages::kIllegalGroupName : messages::kIllegalLogin);
  if (!is_group) {
    // The scrambled stored form cannot hold a longer password.
    if (password_.find_first_of(kIllegalPasswordChars) != std::string::npos ||
        password_.size() > kMaxStoredPassword)
      return Fail(message, messages::kIllegalPassword);
    if (password_.empty() && !fileutil::EqualNoCase(name_, "anonymous"))
      return Fail(message, messages::kNoPassword);
  }
  if (mInGroup) {
    if (!groups.Exists(group_)) return Fail(message, messages::kSelectGroup);
    if (is_group && fileutil::EqualNoCase(group_, name_)) return Fail(message, messages::kGroupInItself);
  }
  if (mUseRootFolder) {
    if (!IsValidDiskFolder(root_folder_)) return Fail(message, messages::kRootNotValid);
    if (!fileutil::FolderExists(root_folder_)) return Fail(message, messages::kRootMissing);
  }
  for (const VirtualFolder& folder : folders_) {
    if (!fileutil::FolderExists(folder.Path())) {
      char text[512];
      std::snprintf(text, sizeof text, messages::kFolderPathMissing, folder.Name().c_str());
      *message = text;
      return false;
    }
  }
  if (mUseStartDir && start_dir_.empty()) return Fail(message, messages::kNoStartDir);
  if (start_dir_.find_first_of(kIllegalStartDirChars) != std::string::npos)
    return Fail(message, messages::kIllegalStartDir);
  if (!fileutil::EqualNoCase(name_, previous_name) && same_kind.Exists(name_))
    return Fail(message, is_group ? messages::kGroupExists : messages::kUserExists);
  if (mUseMaxSize && mMaxSize == 0) return Fail(message, messages::kMaxSizeZero);
  if (mUseMaxUploadSpeed && mMaxUploadSpeed == 0) return Fail(message, messages::kUploadSpeedZero);
  if (mUseMaxDownloadSpeed && mMaxDownloadSpeed == 0)
    return Fail(message, messages::kDownloadSpeedZero);
  if (mUseMaxUsers && mMaxUsers == 0) return Fail(message, messages::kMaxUsersZero);
  return true;
}

}  // namespace quillon::accounts
