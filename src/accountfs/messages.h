// The messages of the file operations and transfers, as clients see them.
#pragma once

namespace quillon::accountfs::messages {

inline constexpr const char* kInaccessible = "The path is in accessible";
inline constexpr const char* kNoRights = "You do not the access rights to perform this action";
inline constexpr const char* kNotFound = "File/Directory does not exist";
inline constexpr const char* kFolderExists = "Unable to create the directory, it already exists";
inline constexpr const char* kCannotCreateFolder = "Unable to create the directory";
inline constexpr const char* kLockedFolder = "Unable to delete locked directory";
inline constexpr const char* kNoSuchFolder = "Directory does not exist";
inline constexpr const char* kFolderNotEmpty = "Unable to delete the directory (may contain files)";
inline constexpr const char* kNoSuchFile = "File does not exist";
inline constexpr const char* kCannotDelete = "Unable to delete the file";
inline constexpr const char* kTargetExists = "That file/directory already exists";
inline constexpr const char* kBannedType = "That file type is banned";
inline constexpr const char* kNoTargetFolder =
    "Unable to move/rename file, destination directory does not exist";
inline constexpr const char* kLockedRename = "Unable to rename locked directory";
inline constexpr const char* kResourceError = "There was an error accessing the resource";
inline constexpr const char* kCannotMove = "Unable to move/rename file";
inline constexpr const char* kCannotOpen = "Unable to open file";
inline constexpr const char* kNeedsCredits =
    "This resource requires transfer credits, you currently have none";
inline constexpr const char* kRestOutside = "The REST byte is outside of the file";
inline constexpr const char* kLockedUpload = "That directory already exists";
inline constexpr const char* kCannotTruncate = "Unable to truncate the file";
inline constexpr const char* kNotEnoughSpace = "You don't have enough space allocation for this action";
inline constexpr const char* kAllocationReached =
    "You have reached your maximim account allocation for this resource";
inline constexpr const char* kOutOfCredits = "You have ran out of transfer credits";
inline constexpr const char* kWriteFailed = "Access to the resource failed";
inline constexpr const char* kNoListing = "Unable to generate the directory listing";
inline constexpr const char* kNoSuchDirectory = "Directory does not exist";

}  // namespace quillon::accountfs::messages
