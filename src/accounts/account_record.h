// One FTP account or group. A group is a record kept in the group store;
// every field means the same in both. Optional settings are pairs of a
// mUse... flag and a value that is ignored while the flag is clear.
//
// Copies are deep (virtual folders included). Text fields keep the widths
// of the stored form: the setters cut longer texts.
//
// Thread-safety: none of its own; the owning store or ActiveAccount locks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/access_rights.h"
#include "accounts/virtual_folder.h"
#include "fileutil/stored_password.h"
#include "runtime/ip_range_list.h"
#include "runtime/limits.h"

namespace quillon::accounts {

class AccountStore;

class AccountRecord {
 public:
  // Widths of the stored text fields (characters + NUL).
  static constexpr std::size_t kNameCapacity = 100;
  static constexpr std::size_t kPasswordCapacity = 100;
  static constexpr std::size_t kGroupCapacity = 100;
  static constexpr std::size_t kFolderCapacity = limits::kStoredPathCapacity;
  // The scrambled stored form holds one character less than the field.
  static constexpr std::size_t kMaxStoredPassword = 98;

  AccountRecord() = default;

  // Every field back to its default; virtual folders removed.
  void Reset() { *this = AccountRecord(); }

  const std::string& Name() const { return name_; }
  // At most 99 characters; also sets the sort name and the anonymous flag.
  void SetName(std::string_view name);
  // The stored password field: the password itself, or its one-way hash
  // (a text that begins with "$").
  const std::string& Password() const { return password_; }
  // At most 99 characters, stored as given; recomputes the anonymous flag.
  void SetPassword(std::string_view password);
  // Stores `password` as typed by an administrator or a user: as its one-way
  // hash when `hashed`, or when it begins with "$" (which would otherwise
  // read as a hash); as given otherwise, and always when empty. False with
  // `error` filled, the record unchanged, when it cannot be hashed.
  [[nodiscard]] bool SetNewPassword(std::string_view password, bool hashed, std::string* error);
  // A stored password field that is a one-way hash.
  static bool IsPasswordHash(std::string_view field) { return fileutil::IsPasswordHash(field); }
  bool HasPasswordHash() const { return IsPasswordHash(password_); }
  // Named "anonymous" (any case) with an empty password.
  bool IsAnonymous() const { return anonymous_; }
  // The stores' sort key: always equal to the name.
  const std::string& SortName() const { return name_; }
  const std::string& Group() const { return group_; }
  void SetGroup(std::string_view group);
  const std::string& RootFolder() const { return root_folder_; }
  void SetRootFolder(std::string_view folder);
  const std::string& StartDir() const { return start_dir_; }
  void SetStartDir(std::string_view folder);

  // A login or group name holds none of the characters names may not hold
  // (blanks, quotes, brackets, separators, line ends and the like).
  static bool HasLegalNameCharacters(std::string_view name);

  // The name equals `name`, A-Z folded.
  bool MatchName(std::string_view name) const;
  // Anonymous records accept any password; others need the name (any case)
  // and the password: one that hashes to a stored hash, or the exact stored
  // password when that is no hash.
  bool MatchLogin(std::string_view name, std::string_view password) const;
  // The name (any case) and, unless anonymous, exactly this stored field.
  bool MatchStoredPassword(std::string_view name, std::string_view field) const;

  // Virtual folders, in list order.
  const std::vector<VirtualFolder>& VirtualFolders() const { return folders_; }
  std::size_t FolderCount() const { return folders_.size(); }
  const VirtualFolder& FolderAt(std::size_t index) const { return folders_[index]; }
  VirtualFolder& FolderAt(std::size_t index) { return folders_[index]; }
  // Index of the folder named `name` (A-Z folded), or -1.
  int FindFolder(std::string_view name) const;
  void RemoveFolder(std::size_t index);
  // Overwrites in place the folder of the same name (any case) or appends.
  void AddOrReplaceFolder(const VirtualFolder& folder);
  // Appends as it is, without looking for a folder of the same name (loading).
  void AppendFolder(const VirtualFolder& folder) { folders_.push_back(folder); }
  void ClearFolders() { folders_.clear(); }
  // Longest name first; among equal lengths, the one that stood later first.
  void SortVirtualFolders();

  // Checks a record coming from an editor before it is stored. `previous_name`
  // is its name before editing ("" for a new record); `same_kind` is the
  // store the record goes to and `groups` the group store. False with the
  // message of the first failed check.
  [[nodiscard]] bool Validate(std::string_view previous_name, bool is_group,
                              const AccountStore& same_kind, const AccountStore& groups,
                              std::string* message) const;

  bool operator==(const AccountRecord&) const = default;

  bool mEnabled = true;
  bool mInGroup = false;
  AccessRights mRights = kDefaultRights;
  bool mAlwaysAllowLogin = false;
  bool mAllowPassChange = false;
  bool mUseRootFolder = false;
  bool mUseStartDir = false;
  bool mUseMaxSize = false;
  std::uint32_t mMaxSize = 0;  // megabytes
  bool mUseMaxUploadSpeed = false;
  std::uint32_t mMaxUploadSpeed = 0;  // KB/s
  bool mUseMaxDownloadSpeed = false;
  std::uint32_t mMaxDownloadSpeed = 0;  // KB/s
  bool mUseMaxUsers = false;
  std::uint32_t mMaxUsers = 0;
  bool mUseCredits = false;
  std::int32_t mUploadCredits = 1;     // per KB uploaded
  std::int32_t mDownloadCredits = -1;  // per KB downloaded
  std::uint32_t mCurrentCredits = 0;
  bool mUseSafeIPs = false;
  runtime::IpRangeList mSafeIPs;
  bool mUseBlockIPs = false;
  runtime::IpRangeList mBlockIPs;
  bool mUseLogs = false;

 private:
  void UpdateAnonymous();

  std::string name_;
  std::string password_;
  bool anonymous_ = false;
  std::string group_;
  std::string root_folder_;
  std::string start_dir_;
  std::vector<VirtualFolder> folders_;
};

}  // namespace quillon::accounts
