// The messages of the account and group editors' checks, as users see them.
#pragma once

namespace quillon::accounts::messages {

inline constexpr const char* kNoUserLogin = "You have not given a user login.";
inline constexpr const char* kNoGroupName = "You have not given a group name.";
inline constexpr const char* kIllegalLogin =
    "The user login contains some illegal characters. Only A-Z, a-z, 0-9, '_', '-', '@' and '.' "
    "are allowed.";
inline constexpr const char* kIllegalGroupName =
    "The group name contains some illegal characters. Only A-Z, a-z, 0-9, '_', '-', '@' and '.' "
    "are allowed.";
inline constexpr const char* kIllegalPassword = "The password contains some illegal characters.";
inline constexpr const char* kNoPassword = "You have not given a password.";
inline constexpr const char* kSelectGroup = "Please select a group.";
inline constexpr const char* kGroupInItself =
    "Please select a valid group (groups cannot be part of them selves).";
inline constexpr const char* kRootNotValid =
    "The root folder is not valid (ie. x:\\xxx or \\\\pc1\\shared).";
inline constexpr const char* kRootMissing = "The root folder does not exist.";
inline constexpr const char* kFolderPathMissing =
    "The folder path for the '%s' virtual folder does not exist.";
inline constexpr const char* kNoStartDir = "You have not given a start directory.";
inline constexpr const char* kIllegalStartDir =
    "The start directory contains some illegal characters. ";
inline constexpr const char* kGroupExists = "The group name already exists.";
inline constexpr const char* kUserExists = "The user/login already exists.";
inline constexpr const char* kNoCopyLogin = "Please specify a valid user/login.";
inline constexpr const char* kNoCopyGroupName = "Please specify a valid group name.";
inline constexpr const char* kIllegalCopyLogin =
    "The user/login contains some illegal characters. Only A-Z, a-z, 0-9, '_', '-', '@' and '.' "
    "are allowed.";
inline constexpr const char* kMaxSizeZero = "The maximum account size must be greater than 0.";
inline constexpr const char* kUploadSpeedZero = "The maximum upload speed must be greater than 0.";
inline constexpr const char* kDownloadSpeedZero =
    "The maximum download speed must be greater than 0.";
inline constexpr const char* kMaxUsersZero = "The maximum users must be greater than 0.";
inline constexpr const char* kUploadCreditsRange =
    "The credits per uploaded KB must be between -2147483648 and 2147483647.";
inline constexpr const char* kDownloadCreditsRange =
    "The credits per downloaded KB must be between -2147483648 and 2147483647.";
inline constexpr const char* kCurrentCreditsRange = "The current credits must be between 0 and 4294967295.";

inline constexpr const char* kNoFolderName = "You have not given a name for the folder.";
inline constexpr const char* kIllegalFolderName = "The name contains some illegal characters. ";
inline constexpr const char* kNoFolderPath = "You have not given a path for the folder.";
inline constexpr const char* kFolderPathNotValid =
    "The path is not valid (ie. x:\\xxx or \\\\pc1\\shared).";
inline constexpr const char* kFolderPathNotFound = "The path does not exist.";
inline constexpr const char* kFolderMaxSizeZero = "Please specify a maximum size greater than 0.";
inline constexpr const char* kFolderNameIncorrect = "The name you have specified is incorrect.";

}  // namespace quillon::accounts::messages
