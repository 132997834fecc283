#include "accountfs/account_file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/fs.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"
#include "accountfs/file_transfer.h"
#include "fileutil/trash.h"

namespace quillon::accountfs {
namespace {

using accounts::EffectiveRecord;
using accounts::VirtualFolder;
using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

class AccountFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"root/docs", "root/sub", "mp3", "pub", "pubmusic", "full"})
      std::filesystem::create_directories(dir_.File(folder));
    WriteWholeFile(dir_.File("root/docs/a.txt"), "hello");
    WriteWholeFile(dir_.File("mp3/x.mp3"), std::string(100, 'm'));
  }

  EffectiveRecord Record(accounts::AccessRights rights = accounts::kAllRights) {
    EffectiveRecord record;
    record.SetName("bob");
    record.SetPassword("pw");
    record.mRights = rights;
    record.mUseRootFolder = true;
    record.SetRootFolder(dir_.File("root") + "/");
    record.AddOrReplaceFolder(Folder("/music", dir_.File("mp3"), accounts::kAllRights));
    record.AddOrReplaceFolder(Folder("/pub", dir_.File("pub"), accounts::kAllRights));
    record.AddOrReplaceFolder(Folder("/pub/music", dir_.File("pubmusic"), accounts::kAllRights));
    return record;
  }

  static VirtualFolder Folder(const char* name, const std::string& path,
                              accounts::AccessRights rights) {
    VirtualFolder folder;
    folder.SetName(name);
    folder.SetPath(path);
    folder.mRights = rights;
    return folder;
  }

  std::unique_ptr<AccountFileSystem> Make(EffectiveRecord record) {
    return std::make_unique<AccountFileSystem>(std::move(record), cache_, clock_);
  }

  testing::ManualClock clock_;
  TempDir dir_;
  fileutil::FolderSizeCache cache_{clock_};
  std::string message_;
};

TEST_F(AccountFileSystemTest, PathsMapThroughTheLongestVirtualFolderOrTheRoot) {
  auto fs = Make(Record());  // sorted: /pub/music (0), /music (1), /pub (2)
  const std::string root = dir_.File("root");
  struct Case {
    const char* ftp;
    int area;
    std::string disk;
  } cases[] = {
      {"/", kRootArea, root},
      {"", kRootArea, root},
      {"/docs/a.txt", kRootArea, root + "/docs/a.txt"},
      {"docs/a.txt", kRootArea, root + "/docs/a.txt"},
      {"/Music/x.mp3", 1, dir_.File("mp3") + "/x.mp3"},
      {"/music", 1, dir_.File("mp3")},
      {"/musical", kRootArea, root + "/musical"},
      {"/music/../../etc", kRootArea, root + "/etc"},
      {"/music/../../../../../etc/passwd", kRootArea, root + "/etc/passwd"},
      {"/../../windows", kRootArea, root + "/windows"},
      {"/pub/music/x", 0, dir_.File("pubmusic") + "/x"},
      {"/pub/musicals", 2, dir_.File("pub") + "/musicals"},
      {"/music/../docs", kRootArea, root + "/docs"},
      // A name that only begins like a virtual folder is not in it.
      {"/music*", kRootArea, root + "/music*"},
      {"/music/.hidden", 1, dir_.File("mp3") + "/.hidden"},
      {"/music\\x.mp3", kRootArea, root + "/music\\x.mp3"},
  };
  for (const Case& c : cases) {
    const MappedPath mapped = fs->MapPath(c.ftp);
    EXPECT_EQ(mapped.area, c.area) << c.ftp;
    EXPECT_EQ(mapped.disk_path, c.disk) << c.ftp;
  }
}

TEST_F(AccountFileSystemTest, WithoutRootOnlyVirtualFoldersAreReachable) {
  EffectiveRecord record = Record();
  record.mUseRootFolder = false;
  auto fs = Make(record);
  EXPECT_EQ(fs->MapPath("/docs").area, kUnreachableArea);
  EXPECT_TRUE(fs->IsFolder("/"));
  EXPECT_TRUE(fs->IsFolder("/pub"));
  EXPECT_TRUE(fs->IsFolder("/music"));
  EXPECT_FALSE(fs->IsFolder("/docs"));
  EXPECT_FALSE(fs->MakeFolder("/new", &message_));
  EXPECT_EQ(message_, "The path is in accessible");

  EffectiveRecord nothing;
  nothing.SetName("empty");
  auto empty = Make(nothing);
  EXPECT_TRUE(empty->IsFolder("/"));
  EXPECT_EQ(empty->MapPath("/").area, kUnreachableArea);
  std::uint64_t size = 0;
  EXPECT_FALSE(empty->GetFileSize("/a.txt", &size, &message_));
  EXPECT_EQ(message_, "The path is in accessible");
}

TEST_F(AccountFileSystemTest, VirtualFoldersCanOnlyTakeRightsAway) {
  EffectiveRecord record = Record(accounts::kAllRights);
  record.FolderAt(record.FindFolder("/music")).mRights = accounts::kFolderView | accounts::kFileRead;
  auto fs = Make(record);
  EXPECT_EQ(fs->OpenForUpload("/music/new.mp3", false, 0, &message_), nullptr);
  EXPECT_EQ(message_, "You do not the access rights to perform this action");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("mp3/new.mp3")));

  EffectiveRecord narrow = Record(accounts::kFolderView | accounts::kFileRead);
  auto limited = Make(narrow);
  EXPECT_EQ(limited->OpenForUpload("/pub/new.txt", false, 0, &message_), nullptr);
  EXPECT_EQ(message_, "You do not the access rights to perform this action");
  EXPECT_TRUE(limited->HasRight(kRootArea, accounts::kFileRead));
  EXPECT_FALSE(limited->HasRight(kUnreachableArea, accounts::kFileRead));
}

TEST_F(AccountFileSystemTest, FolderOperationsAndLockedFolders) {
  auto fs = Make(Record());
  EXPECT_FALSE(fs->MakeFolder("/docs", &message_));
  EXPECT_EQ(message_, "Unable to create the directory, it already exists");
  EXPECT_FALSE(fs->MakeFolder("/pub", &message_));  // a virtual folder is a folder
  ASSERT_TRUE(fs->MakeFolder("/new", &message_));
  EXPECT_TRUE(std::filesystem::is_directory(dir_.File("root/new")));

  for (const char* locked : {"/", "/music", "/pub/music"}) {
    EXPECT_FALSE(fs->RemoveFolder(locked, &message_)) << locked;
    EXPECT_EQ(message_, "Unable to delete locked directory");
  }
  EXPECT_FALSE(fs->RemoveFolder("/docs", &message_));
  EXPECT_EQ(message_, "Unable to delete the directory (may contain files)");
  EXPECT_FALSE(fs->RemoveFolder("/nothing", &message_));
  EXPECT_EQ(message_, "Directory does not exist");
  ASSERT_TRUE(fs->RemoveFolder("/new", &message_));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("root/new")));
}

TEST_F(AccountFileSystemTest, FileQueriesAndDeletes) {
  auto fs = Make(Record());
  std::uint64_t size = 0;
  ASSERT_TRUE(fs->GetFileSize("/docs/a.txt", &size, &message_));
  EXPECT_EQ(size, 5u);
  EXPECT_FALSE(fs->GetFileSize("/docs/none.txt", &size, &message_));
  EXPECT_EQ(message_, "File does not exist");

  const platform::FileTime when{1047027900, 0};
  ASSERT_TRUE(fs->SetFileTime("/docs/a.txt", when, &message_));
  platform::FileTime read;
  ASSERT_TRUE(fs->GetFileTime("/docs/a.txt", &read, &message_));
  EXPECT_EQ(read.seconds, when.seconds);

  const fileutil::FolderSizeCache::Hold docs = cache_.Acquire(dir_.File("root/docs"));
  ASSERT_TRUE(fs->DeleteFile("/docs/a.txt", &message_));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("root/docs/a.txt")));
  EXPECT_EQ(cache_.SizeOf(docs), 0u);
  EXPECT_FALSE(fs->DeleteFile("/docs/a.txt", &message_));
  EXPECT_EQ(message_, "File does not exist");
}

TEST_F(AccountFileSystemTest, DeleteCanGoToTheTrash) {
  // The trash of this test lives in its own folder, on the root's file system.
  TempDir home;
  platform::SetEnvironmentValue("XDG_DATA_HOME", home.File("data"));
  TempDir near(home.File("roots"));
  std::filesystem::create_directories(near.File("root"));
  WriteWholeFile(near.File("root/old report.txt"), "keep me");
  EffectiveRecord record;
  record.SetName("bob");
  record.mRights = accounts::kAllRights;
  record.mUseRootFolder = true;
  record.SetRootFolder(near.File("root"));
  auto fs = Make(record);
  fs->SetServerRules(std::nullopt, true);
  ASSERT_TRUE(fs->DeleteFile("/old report.txt", &message_)) << message_;
  EXPECT_FALSE(std::filesystem::exists(near.File("root/old report.txt")));
  const std::string trash = fileutil::HomeTrashFolder();
  bool found = false;
  for (const auto& entry : std::filesystem::directory_iterator(trash + "/info")) {
    const std::string info = ReadWholeFile(entry.path().string());
    if (info.find("old%20report.txt") == std::string::npos) continue;
    found = true;
    const std::string stored = entry.path().stem().string();
    EXPECT_EQ(ReadWholeFile(trash + "/files/" + stored), "keep me");
    EXPECT_NE(info.find("[Trash Info]\nPath=/"), std::string::npos);
    EXPECT_NE(info.find("DeletionDate="), std::string::npos);
  }
  EXPECT_TRUE(found);
}

TEST_F(AccountFileSystemTest, ATrashInsideTheAccountsFoldersIsNotUsed) {
  // The user's trash lies in the served folder: a deleted file would stay
  // visible and count against the allocation.
  platform::SetEnvironmentValue("XDG_DATA_HOME", dir_.File("root/data"));
  WriteWholeFile(dir_.File("root/docs/gone.txt"), "private");
  auto fs = Make(Record());
  fs->SetServerRules(std::nullopt, true);
  EXPECT_FALSE(fs->DeleteFile("/docs/gone.txt", &message_));
  EXPECT_EQ(message_, "Unable to delete the file");
  EXPECT_EQ(ReadWholeFile(dir_.File("root/docs/gone.txt")), "private");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("root/data/Trash")));
}

TEST(TrashTest, TrimmingDropsTheOldestFilesAndLeavesFoldersAlone) {
  TempDir dir;
  const std::string trash = dir.File("Trash");
  std::filesystem::create_directories(trash + "/info");
  std::filesystem::create_directories(trash + "/files/desktop-folder");
  WriteWholeFile(trash + "/files/desktop-folder/inside", std::string(4, 'f'));
  struct Stored {
    const char* name;
    std::size_t bytes;
    std::int64_t deleted;
  } stored[] = {{"desktop-folder", 0, 100}, {"old", 6, 200}, {"middle", 6, 300}, {"new", 6, 400}};
  for (const Stored& item : stored) {
    if (item.bytes > 0) WriteWholeFile(trash + "/files/" + item.name, std::string(item.bytes, 'x'));
    const std::string info = trash + "/info/" + item.name + ".trashinfo";
    WriteWholeFile(info, "[Trash Info]\n");
    const platform::FileTime when{item.deleted, 0};
    ASSERT_TRUE(platform::SetPathTimes(info, &when, &when));
  }
  fileutil::TrimTrash(trash, 0);  // no limit
  EXPECT_TRUE(std::filesystem::exists(trash + "/files/old"));

  fileutil::TrimTrash(trash, 15);  // 4 + 18 bytes: the two oldest files go
  EXPECT_FALSE(std::filesystem::exists(trash + "/files/old"));
  EXPECT_FALSE(std::filesystem::exists(trash + "/info/old.trashinfo"));
  EXPECT_FALSE(std::filesystem::exists(trash + "/files/middle"));
  EXPECT_TRUE(std::filesystem::exists(trash + "/files/new"));
  EXPECT_TRUE(std::filesystem::exists(trash + "/info/new.trashinfo"));
  EXPECT_TRUE(std::filesystem::exists(trash + "/files/desktop-folder/inside"));
}

TEST_F(AccountFileSystemTest, UploadRulesBannedTypesAndOverwrites) {
  EffectiveRecord record = Record(accounts::kFileRead | accounts::kFileWrite | accounts::kFolderView);
  auto fs = Make(record);
  fileutil::BannedTypes banned;
  banned.Parse("exe,pif,scr,com,bat");
  fs->SetServerRules(banned, false);
  EXPECT_EQ(fs->OpenForUpload("/setup.EXE", false, 0, &message_), nullptr);
  EXPECT_EQ(message_, "That file type is banned");

  EXPECT_EQ(fs->OpenForUpload("/absent", true, 0, &message_), nullptr);
  EXPECT_EQ(message_, "File does not exist");
  EXPECT_EQ(fs->OpenForUpload("/music", false, 0, &message_), nullptr);
  EXPECT_EQ(message_, "That directory already exists");

  auto full = Make(Record());
  FileTransfer* over = full->OpenForUpload("/docs/a.txt", false, 0, &message_);
  ASSERT_NE(over, nullptr) << message_;
  std::string reason;
  ASSERT_TRUE(over->Write("new", 3, &reason));
  full->CloseTransfer(over);
  EXPECT_EQ(ReadWholeFile(dir_.File("root/docs/a.txt")), "new");
  FileTransfer* appended = full->OpenForUpload("/docs/a.txt", true, 0, &message_);
  ASSERT_NE(appended, nullptr);
  ASSERT_TRUE(appended->Write("er", 2, &reason));
  full->CloseTransfer(appended);
  EXPECT_EQ(ReadWholeFile(dir_.File("root/docs/a.txt")), "newer");
}

TEST_F(AccountFileSystemTest, AFailedUploadTakesNoMoreBytesAndANewFileGoes) {
  auto fs = Make(Record());
  FileTransfer* upload = fs->OpenForUpload("/partial.bin", false, 0, &message_);
  ASSERT_NE(upload, nullptr);
  std::string reason;
  ASSERT_TRUE(upload->Write("abc", 3, &reason));
  upload->MarkFailed();
  EXPECT_FALSE(upload->Write("def", 3, &reason));
  EXPECT_EQ(reason, "There was an error accessing the resource");
  fs->CloseTransfer(upload);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("root/partial.bin")));
  EXPECT_EQ(fs->OpenTransferCount(), 0u);
}

TEST_F(AccountFileSystemTest, AbortedNewUploadGivesItsBytesBackToTheFolderSizes) {
  EffectiveRecord record = Record();
  record.mUseMaxSize = true;
  record.mMaxSize = 1;
  for (std::size_t i = 0; i < record.FolderCount(); ++i)
    record.FolderAt(i).mCountsTowardsSize = false;
  auto fs = Make(record);
  const std::uint64_t before = fs->AccountFreeSpace();
  FileTransfer* upload = fs->OpenForUpload("/partial.bin", false, 0, &message_);
  ASSERT_NE(upload, nullptr);
  const std::string chunk(4096, 'p');
  std::string reason;
  ASSERT_TRUE(upload->Write(chunk.data(), chunk.size(), &reason));
  EXPECT_EQ(fs->AccountFreeSpace(), before - chunk.size());
  upload->MarkFailed();
  fs->CloseTransfer(upload);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("root/partial.bin")));
  EXPECT_EQ(fs->AccountFreeSpace(), before);
}

TEST_F(AccountFileSystemTest, FifosSocketsAndDevicesAreNeverFiles) {
  ASSERT_TRUE(platform::MakeFifo(dir_.File("root/pipe")));
  auto fs = Make(Record());
  EXPECT_FALSE(fs->IsFile("/pipe"));
  // Each of these used to open the FIFO and wait for a writer forever.
  EXPECT_EQ(fs->OpenForDownload("/pipe", 0, &message_), nullptr);
  EXPECT_EQ(message_, "File does not exist");
  std::uint64_t size = 0;
  EXPECT_FALSE(fs->GetFileSize("/pipe", &size, &message_));
  platform::FileTime time;
  EXPECT_FALSE(fs->GetFileTime("/pipe", &time, &message_));
  EXPECT_FALSE(fs->SetFileTime("/pipe", time, &message_));
  EXPECT_EQ(fs->OpenForUpload("/pipe", true, 0, &message_), nullptr);
  EXPECT_EQ(fs->OpenForUpload("/pipe", false, 0, &message_), nullptr);
  EXPECT_EQ(message_, "Unable to open file");
  bool was_file = false;
  EXPECT_FALSE(fs->Rename("/pipe", "/pipe2", &was_file, &message_));
  EXPECT_EQ(message_, "File/Directory does not exist");
  EXPECT_TRUE(std::filesystem::is_fifo(dir_.File("root/pipe")));
}

TEST_F(AccountFileSystemTest, LinksOutOfTheRootOrAVirtualFolderLeadNowhere) {
  std::filesystem::create_directory_symlink("/", dir_.File("root/slash"));
  std::filesystem::create_directory_symlink(dir_.File("mp3"), dir_.File("root/music-link"));
  std::filesystem::create_directory_symlink(dir_.File("root/docs"), dir_.File("root/docs-link"));
  std::filesystem::create_symlink("/etc/hostname", dir_.File("pub/host"));
  auto fs = Make(Record());
  EXPECT_EQ(fs->MapPath("/slash").area, kUnreachableArea);
  EXPECT_EQ(fs->MapPath("/slash/etc/passwd").area, kUnreachableArea);
  EXPECT_FALSE(fs->IsFolder("/slash"));
  EXPECT_FALSE(fs->IsFile("/slash/etc/passwd"));
  EXPECT_EQ(fs->OpenForDownload("/slash/etc/passwd", 0, &message_), nullptr);
  EXPECT_EQ(message_, "The path is in accessible");
  EXPECT_EQ(fs->OpenForUpload("/slash/tmp/planted", false, 0, &message_), nullptr);
  EXPECT_FALSE(fs->MakeFolder("/slash/tmp/made", &message_));
  EXPECT_EQ(fs->OpenListing("/slash/etc", ListingStyle::kLong, kAllFacts, &message_), nullptr);
  // Another account folder reached by a link is still outside this area.
  EXPECT_EQ(fs->MapPath("/music-link/x.mp3").area, kUnreachableArea);
  EXPECT_EQ(fs->MapPath("/pub/host").area, kUnreachableArea);
  // A link that stays inside works as a folder of its own.
  EXPECT_TRUE(fs->IsFile("/docs-link/a.txt"));
  EXPECT_GE(fs->MapPath("/music/x.mp3").area, 0);
}

TEST_F(AccountFileSystemTest, ParentsOfVirtualFoldersListWithTheAccountsRights) {
  EffectiveRecord record = Record(accounts::kFileRead | accounts::kFolderView);
  record.mUseRootFolder = false;
  record.AddOrReplaceFolder(Folder("/deep/inner", dir_.File("pub"), accounts::kAllRights));
  auto fs = Make(record);
  fs->SetTempFolder(dir_.Path());
  FileTransfer* listing = fs->OpenListing("/deep", ListingStyle::kLong, kAllFacts, &message_);
  ASSERT_NE(listing, nullptr) << message_;
  char text[4096];
  std::size_t length = sizeof text;
  std::string reason;
  ASSERT_TRUE(listing->Read(text, &length, &reason));
  const std::string lines(text, length);
  fs->CloseTransfer(listing);
  EXPECT_NE(lines.find("dr-xr-xr-x   1 bob QuillonFTPServer          0 "), std::string::npos) << lines;
  EXPECT_EQ(lines.find("d--x--x--x"), std::string::npos) << lines;
}

TEST_F(AccountFileSystemTest, RenameBetweenFileSystemsCopiesAndKeepsTheAccounting) {
  const std::string base = testing::OtherFileSystemBase();
  if (base.empty()) GTEST_SKIP() << "no second file system for temporary folders";
  TempDir other(base);
  EffectiveRecord record = Record();
  record.AddOrReplaceFolder(Folder("/shm", other.Path(), accounts::kAllRights));
  auto fs = Make(record);
  WriteWholeFile(dir_.File("root/docs/move.bin"), std::string(5000, 'v'));
  std::uint64_t root_before = 0, shm_before = 0;
  ASSERT_TRUE(fs->FolderBytes(dir_.File("root"), &root_before));
  ASSERT_TRUE(fs->FolderBytes(other.Path(), &shm_before));
  bool was_file = false;
  ASSERT_TRUE(fs->Rename("/docs/move.bin", "/shm/move.bin", &was_file, &message_)) << message_;
  EXPECT_TRUE(was_file);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("root/docs/move.bin")));
  EXPECT_EQ(ReadWholeFile(other.File("move.bin")), std::string(5000, 'v'));
  std::uint64_t root_after = 0, shm_after = 0;
  ASSERT_TRUE(fs->FolderBytes(dir_.File("root"), &root_after));
  ASSERT_TRUE(fs->FolderBytes(other.Path(), &shm_after));
  EXPECT_EQ(root_after, root_before - 5000);
  EXPECT_EQ(shm_after, shm_before + 5000);
}

TEST_F(AccountFileSystemTest, RestOffsetsAndCredits) {
  EffectiveRecord record = Record();
  record.mUseCredits = true;
  record.mDownloadCredits = -2;
  record.mCurrentCredits = 1;
  record.FolderAt(record.FindFolder("/music")).mCreditsExempt = true;
  auto fs = Make(record);
  EXPECT_EQ(fs->OpenForDownload("/docs/a.txt", 5, &message_), nullptr);
  EXPECT_EQ(message_, "The REST byte is outside of the file");
  EXPECT_EQ(fs->GetCredits(), 1u);

  FileTransfer* download = fs->OpenForDownload("/docs/a.txt", 4, &message_);
  ASSERT_NE(download, nullptr);
  EXPECT_EQ(fs->GetCredits(), 0u);  // charged up front, not below 0
  char byte = 0;
  std::size_t length = 1;
  std::string reason;
  ASSERT_TRUE(download->Read(&byte, &length, &reason));
  EXPECT_EQ(byte, 'o');
  fs->CloseTransfer(download);

  EXPECT_EQ(fs->OpenForDownload("/docs/a.txt", 0, &message_), nullptr);
  EXPECT_EQ(message_, "This resource requires transfer credits, you currently have none");
  FileTransfer* free = fs->OpenForDownload("/music/x.mp3", 0, &message_);
  ASSERT_NE(free, nullptr) << message_;
  EXPECT_EQ(fs->GetCredits(), 0u);
  fs->CloseTransfer(free);
}

TEST_F(AccountFileSystemTest, SpaceAllocationRefusesUploadsAndMoves) {
  WriteWholeFile(dir_.File("root/docs/big.bin"), std::string(kMegabyte - 5, 'b'));  // with a.txt: 1 MB
  EffectiveRecord record = Record();
  record.mUseMaxSize = true;
  record.mMaxSize = 1;
  for (std::size_t i = 0; i < record.FolderCount(); ++i)
    record.FolderAt(i).mCountsTowardsSize = false;
  VirtualFolder full = Folder("/full", dir_.File("full"), accounts::kAllRights);
  full.mCountsTowardsSize = false;
  full.mUseMaxSize = true;
  full.mMaxSize = 1;
  record.AddOrReplaceFolder(full);
  WriteWholeFile(dir_.File("full/fill.bin"), std::string(kMegabyte, 'f'));
  auto fs = Make(record);
  EXPECT_EQ(fs->AccountFreeSpace(), 0u);
  EXPECT_EQ(fs->OpenForUpload("/more.txt", false, 0, &message_), nullptr);
  EXPECT_EQ(message_, "You have reached your maximim account allocation for this resource");

  ASSERT_TRUE(fs->DeleteFile("/docs/big.bin", &message_));
  EXPECT_EQ(fs->AccountFreeSpace(), kMegabyte - 5);
  WriteWholeFile(dir_.File("root/ten.txt"), "0123456789");
  bool was_file = false;
  EXPECT_FALSE(fs->Rename("/ten.txt", "/full/ten.txt", &was_file, &message_));
  EXPECT_EQ(message_, "You don't have enough space allocation for this action");
  EXPECT_TRUE(std::filesystem::exists(dir_.File("root/ten.txt")));
}

TEST_F(AccountFileSystemTest, RenameChecks) {
  auto fs = Make(Record());
  WriteWholeFile(dir_.File("root/b.txt"), "b");
  bool was_file = false;
  EXPECT_FALSE(fs->Rename("/docs/a.txt", "/b.txt", &was_file, &message_));
  EXPECT_EQ(message_, "That file/directory already exists");
  EXPECT_FALSE(fs->Rename("/none.txt", "/c.txt", &was_file, &message_));
  EXPECT_EQ(message_, "File/Directory does not exist");
  EXPECT_FALSE(fs->Rename("/b.txt", "/nowhere/c.txt", &was_file, &message_));
  EXPECT_EQ(message_, "Unable to move/rename file, destination directory does not exist");
  EXPECT_FALSE(fs->Rename("/music", "/songs", &was_file, &message_));
  EXPECT_EQ(message_, "Unable to rename locked directory");

  ASSERT_TRUE(fs->Rename("/docs/a.txt", "/music/a.txt", &was_file, &message_)) << message_;
  EXPECT_TRUE(was_file);
  EXPECT_EQ(ReadWholeFile(dir_.File("mp3/a.txt")), "hello");
  ASSERT_TRUE(fs->Rename("/docs", "/papers", &was_file, &message_)) << message_;
  EXPECT_FALSE(was_file);
  EXPECT_TRUE(std::filesystem::is_directory(dir_.File("root/papers")));

  // Moving into a virtual folder needs its own write right.
  EffectiveRecord record = Record();
  record.FolderAt(record.FindFolder("/pub")).mRights = accounts::kFolderView | accounts::kFileRead;
  auto guarded = Make(record);
  EXPECT_FALSE(guarded->Rename("/b.txt", "/pub/b.txt", &was_file, &message_));
  EXPECT_EQ(message_, "You do not the access rights to perform this action");
}

TEST_F(AccountFileSystemTest, RecordUpdateStopsTransfersThatLostTheirRight) {
  class Probe : public AccountFileSystem {
   public:
    using AccountFileSystem::AccountFileSystem;
    void Update(EffectiveRecord record) {
      runtime::CriticalSection::Guard guard(Lock());
      ReplaceRecordLocked(std::move(record));
    }
  };
  Probe fs(Record(), cache_, clock_);
  FileTransfer* download = fs.OpenForDownload("/docs/a.txt", 0, &message_);
  FileTransfer* music = fs.OpenForDownload("/music/x.mp3", 0, &message_);
  ASSERT_TRUE(download && music);
  EffectiveRecord changed = Record();
  changed.FolderAt(changed.FindFolder("/music")).mRights = accounts::kFolderView;
  fs.Update(changed);
  char buffer[8];
  std::size_t length = sizeof buffer;
  std::string reason;
  EXPECT_TRUE(download->Read(buffer, &length, &reason));
  length = sizeof buffer;
  EXPECT_FALSE(music->Read(buffer, &length, &reason));
  EXPECT_EQ(reason, "There was an error accessing the resource");
  fs.CloseTransfer(download);
  fs.CloseTransfer(music);
}

}  // namespace
}  // namespace quillon::accountfs
