// The six access rights of accounts, groups and virtual folders, as bits.
#pragma once

#include <cstdint>

namespace quillon::accounts {

using AccessRights = std::uint32_t;

inline constexpr AccessRights kFileRead = 0x01;      // download files
inline constexpr AccessRights kFileWrite = 0x02;     // upload new files
inline constexpr AccessRights kFileModify = 0x04;    // overwrite, append, delete, rename files
inline constexpr AccessRights kFolderView = 0x08;    // list folders
inline constexpr AccessRights kFolderCreate = 0x10;  // create folders
inline constexpr AccessRights kFolderModify = 0x20;  // remove and rename folders
inline constexpr AccessRights kAllRights = 0x3F;
inline constexpr AccessRights kDefaultRights = kFolderView | kFileRead;

// `rights` with `right` set or cleared, every other bit unchanged.
constexpr AccessRights WithRight(AccessRights rights, AccessRights right, bool on) {
  return on ? (rights | right) : (rights & ~right);
}

}  // namespace quillon::accounts
