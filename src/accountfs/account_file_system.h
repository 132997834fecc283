// The file-system side of a logged-in account: FTP paths mapped to disk
// paths through the account's root folder and virtual folders, the rights
// that apply there, the file operations with their checks, and the
// account's open transfers. Space allocation and credits are the Quota's
// rules, applied here under the account lock.
//
// FTP paths use "/"; "." and ".." are steps, and every other component is a
// name taken as written ("aux", "x*y", "name  ", ".htaccess", "a\b"), so a
// path names that file or nothing, never a neighbour. Whatever a client
// writes maps inside the root folder or the virtual folder it goes through.
// Symbolic links are followed only where they stay inside that folder: a
// path whose links lead out of it maps nowhere, and so does a path longer
// than the system takes.
//
// Thread-safety: every public operation takes the account lock (Lock()),
// which the sessions of one account share. Lock order: the account lock
// before the folder-size cache's and the rate limiters' locks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accountfs/quota.h"
#include "accounts/effective_record.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "runtime/critical_section.h"
#include "fileutil/banned_types.h"
#include "fileutil/folder_size_cache.h"
#include "fileutil/trash.h"

namespace quillon::accountfs {

class FileTransfer;

inline constexpr int kRootArea = -1;         // the path lies in the root folder
inline constexpr int kUnreachableArea = -2;  // the path maps nowhere

struct MappedPath {
  int area = kUnreachableArea;  // virtual folder index (sorted list), or one of the above
  std::string disk_path;
  std::string ftp_path;  // the normalised FTP path ("" for the root)
};

// How a listing writes its entries: LIST lines, NLST names, or MLSD facts.
enum class ListingStyle { kLong, kNames, kFacts };
// The facts of MLSD and MLST entries, as bits.
inline constexpr std::uint32_t kFactType = 1;
inline constexpr std::uint32_t kFactSize = 2;
inline constexpr std::uint32_t kFactModify = 4;
inline constexpr std::uint32_t kFactPerm = 8;
inline constexpr std::uint32_t kFactUnique = 16;
inline constexpr std::uint32_t kAllFacts = 31;

// kOther: a FIFO, socket or device, which no operation treats as a file.
enum class EntryKind { kNone = 0, kFile = 1, kFolder = 2, kOther = 3 };

class AccountFileSystem {
 public:
  // `record` is the account's effective record; its virtual folders are
  // sorted here. `cache` is the server's folder-size cache.
  AccountFileSystem(accounts::EffectiveRecord record, fileutil::FolderSizeCache& cache,
                    platform::Clock& clock);
  virtual ~AccountFileSystem();
  AccountFileSystem(const AccountFileSystem&) = delete;
  AccountFileSystem& operator=(const AccountFileSystem&) = delete;

  runtime::CriticalSection& Lock() const { return lock_; }
  // A copy of the live record.
  accounts::EffectiveRecord RecordCopy() const;

  // Server settings the account follows: banned types (none: banning off),
  // deleting into the trash, and the trash's limit and the folders it must
  // stay out of (this account's own are added at each delete).
  void SetServerRules(std::optional<fileutil::BannedTypes> banned, bool delete_to_trash,
                      fileutil::TrashRules trash = {});

  // Path mapping and rights.
  MappedPath MapPath(std::string_view ftp_path) const;
  bool IsFolder(std::string_view ftp_path) const;
  bool IsFile(std::string_view ftp_path) const;
  bool IsLockedFolder(std::string_view disk_path) const;
  bool HasRight(int area, accounts::AccessRights right) const;
  static EntryKind KindOf(const std::string& disk_path);
  // The source of a rename or RNFR: it must exist and be modifiable.
  [[nodiscard]] bool CheckModifyRight(std::string_view ftp_path, bool* is_file,
                                      std::string* message) const;

  // File operations: true on success, else false and the message.
  [[nodiscard]] bool MakeFolder(std::string_view path, std::string* message);
  [[nodiscard]] bool RemoveFolder(std::string_view path, std::string* message);
  [[nodiscard]] bool DeleteFile(std::string_view path, std::string* message);
  [[nodiscard]] bool Rename(std::string_view from, std::string_view to, bool* was_file,
                            std::string* message);
  [[nodiscard]] bool GetFileSize(std::string_view path, std::uint64_t* size, std::string* message);
  [[nodiscard]] bool GetFileTime(std::string_view path, platform::FileTime* time,
                                 std::string* message);
  [[nodiscard]] bool SetFileTime(std::string_view path, const platform::FileTime& time,
                                 std::string* message);
  // The open transfer (owned by the account until CloseTransfer), or null.
  // A download starts at `rest_offset`, which must lie inside the file.
  FileTransfer* OpenForDownload(std::string_view path, std::uint64_t rest_offset,
                                std::string* message);
  // The file opened from its start under the same mapping and rights as a
  // download, for the server to read on its own behalf (a digest): it
  // charges and books no credits, so an account out of credits may read.
  FileTransfer* OpenForReading(std::string_view path, std::string* message);
  // An upload replaces the file, or with `append` adds to its end. With a
  // `rest_offset` other than 0 (and no `append`) it resumes: it keeps the
  // first rest_offset bytes of the file that is there, gives up the rest,
  // and writes from there on. That needs the right an overwrite needs and an
  // offset no larger than the file; a missing file has no bytes to keep.
  FileTransfer* OpenForUpload(std::string_view path, bool append, std::uint64_t rest_offset,
                              std::string* message);
  // A LIST, NLST or MLSD answer for a folder (with `facts` for MLSD),
  // prepared in a temporary file that the transfer sends and then deletes.
  FileTransfer* OpenListing(std::string_view path, ListingStyle style, std::uint32_t facts,
                            std::string* message);
  // The MLST line of one file or folder: the `facts`, then a blank and the
  // FTP path. False with the message when the listing rules refuse it.
  [[nodiscard]] bool FactsOf(std::string_view path, std::uint32_t facts, std::string* line,
                             std::string* message);
  // The folder where listings are prepared ("" disables listings).
  void SetTempFolder(std::string folder);
  // "-rw-rw-rw-" / "drwxrwxrwx" style permissions of an entry in `area`
  // (for kUnreachableArea, the account's own rights).
  std::string ModeString(bool is_file, int area) const;
  // The same rights as an MLSD "perm" fact ("radfw" for files, "elcmdf" for
  // folders, as far as granted).
  std::string PermFact(bool is_file, int area) const;
  // Destroys the transfer and takes it off the open list.
  void CloseTransfer(FileTransfer* transfer);
  std::size_t OpenTransferCount() const;

  // Space allocation: `needed` absent asks "is there any room at all".
  [[nodiscard]] bool SpaceCheck(int area, std::optional<std::uint64_t> needed,
                                std::string* message) const;
  std::uint64_t AccountFreeSpace() const;
  bool UsesSpaceAllocation() const;

  // Credits: Add saturates at 4294967295, Subtract stops at 0.
  void AddCredits(std::uint32_t n);
  void SubtractCredits(std::uint32_t n);
  std::uint32_t GetCredits() const;
  void SetCredits(std::uint32_t n);

  // Books the credits of `bytes` moved in one direction, carrying fractions
  // of a KB in *remainder, and adds to *earned (when given) what the balance
  // actually grew by (less than the rate promises near the ceiling). False
  // (credits now 0) when the balance ran out.
  [[nodiscard]] bool BookCredits(bool upload, std::uint64_t bytes, std::uint32_t* remainder,
                                 std::uint64_t* earned = nullptr);
  // The current size of a folder, from the cache.
  [[nodiscard]] bool FolderBytes(const std::string& disk_folder, std::uint64_t* bytes) const;

  fileutil::FolderSizeCache& Cache() const { return cache_; }
  platform::Clock& GetClock() const { return clock_; }

 protected:
  // Replaces the live record (virtual folders sorted) and checks every open
  // transfer again: one whose path no longer maps to the same file, or that
  // lost its right, is stopped; the others take the new area limits.
  // REQUIRES: Lock() held.
  void ReplaceRecordLocked(accounts::EffectiveRecord record);
  const accounts::EffectiveRecord& RecordLocked() const { return record_; }
  accounts::EffectiveRecord& MutableRecordLocked() { return record_; }

 private:
  // Maps a path that must name an existing file the account has `right` on.
  bool MapExistingFile(std::string_view path, accounts::AccessRights right, MappedPath* mapped,
                       std::string* message) const;
  AreaLimits LimitsOf(int area) const;
  // A download (`charged`: its credits are charged and booked) or a read
  // for the server's own use.
  FileTransfer* OpenSource(std::string_view path, std::uint64_t rest_offset, bool charged,
                           std::string* message);
  bool IsBanned(std::string_view file_name) const;
  FileTransfer* Register(std::unique_ptr<FileTransfer> transfer);
  struct ListingEntry;
  // Whether the account may list at `mapped`.
  bool MayList(const MappedPath& mapped) const;
  // An entry's MLSD facts and name: "type=file;size=3;...; name".
  std::string FactLine(const ListingEntry& entry, std::uint32_t facts) const;
  // Merges the visible virtual folders below `ftp_path` into `list`.
  void AddVirtualEntries(const std::string& ftp_path, const std::string& date,
                         std::vector<ListingEntry>* list) const;

  fileutil::FolderSizeCache& cache_;
  const Quota quota_;
  platform::Clock& clock_;
  mutable runtime::CriticalSection lock_;  // the account lock
  accounts::EffectiveRecord record_;       // guarded by lock_
  std::optional<fileutil::BannedTypes> banned_;      // guarded by lock_
  bool delete_to_trash_ = false;           // guarded by lock_
  fileutil::TrashRules trash_rules_;                 // guarded by lock_
  std::vector<std::unique_ptr<FileTransfer>> transfers_;  // guarded by lock_
  std::string temp_folder_;                               // guarded by lock_
};

}  // namespace quillon::accountfs
