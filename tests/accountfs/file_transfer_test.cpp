#include "accountfs/file_transfer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::accountfs {
namespace {

using testing::ReadWholeFile;
using testing::WriteWholeFile;

class FileTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.File("root"));
    std::filesystem::create_directories(dir_.File("box"));
    WriteWholeFile(dir_.File("root/data.bin"), std::string(8192, 'd'));
  }

  accounts::EffectiveRecord Record() {
    accounts::EffectiveRecord record;
    record.SetName("bob");
    record.mRights = accounts::kAllRights;
    record.mUseRootFolder = true;
    record.SetRootFolder(dir_.File("root"));
    return record;
  }

  testing::ManualClock clock_;
  testing::TempDir dir_;
  fileutil::FolderSizeCache cache_{clock_};
  std::string message_;
  std::string reason_;
  char buffer_[4096];
};

TEST_F(FileTransferTest, FractionsOfAKilobyteCarryOver) {
  accounts::EffectiveRecord record = Record();
  record.mUseCredits = true;
  record.mDownloadCredits = 1;
  AccountFileSystem fs(record, cache_, clock_);
  FileTransfer* transfer = fs.OpenForDownload("/data.bin", 0, &message_);
  ASSERT_NE(transfer, nullptr);
  std::size_t length = 1536;
  ASSERT_TRUE(transfer->Read(buffer_, &length, &reason_));
  EXPECT_EQ(fs.GetCredits(), 1u);
  length = 512;
  ASSERT_TRUE(transfer->Read(buffer_, &length, &reason_));
  EXPECT_EQ(fs.GetCredits(), 2u);  // 512 carried + 512 read make the second KB
  length = 4096;
  ASSERT_TRUE(transfer->Read(buffer_, &length, &reason_));
  EXPECT_FALSE(transfer->IsFinished());
  length = 4096;
  ASSERT_TRUE(transfer->Read(buffer_, &length, &reason_));
  EXPECT_EQ(length, 2048u);
  EXPECT_TRUE(transfer->IsFinished());
  EXPECT_EQ(fs.GetCredits(), 8u);
  fs.CloseTransfer(transfer);
}

TEST_F(FileTransferTest, UploadWritesWhatFitsThenStopsAtTheAllocation) {
  accounts::EffectiveRecord record = Record();
  record.mUseMaxSize = true;
  record.mMaxSize = 1;
  record.mUseCredits = true;
  record.mUploadCredits = 3;
  AccountFileSystem fs(record, cache_, clock_);
  FileTransfer* upload = fs.OpenForUpload("/up.bin", false, 0, &message_);
  ASSERT_NE(upload, nullptr) << message_;
  const std::string chunk(4096, 'u');
  const std::uint64_t room = kMegabyte - 8192;
  std::uint64_t written = 0;
  while (written + chunk.size() <= room) {
    ASSERT_TRUE(upload->Write(chunk.data(), chunk.size(), &reason_));
    written += chunk.size();
  }
  EXPECT_FALSE(upload->Write(chunk.data(), chunk.size(), &reason_));
  EXPECT_EQ(reason_, "You have reached your maximim account allocation for this resource");
  fs.CloseTransfer(upload);
  EXPECT_EQ(std::filesystem::file_size(dir_.File("root/up.bin")), room);
  EXPECT_EQ(fs.AccountFreeSpace(), 0u);
  EXPECT_EQ(fs.GetCredits(), 3u * 1016);  // every KB written earns 3
}

TEST_F(FileTransferTest, FolderLimitOfAVirtualFolder) {
  accounts::EffectiveRecord record = Record();
  accounts::VirtualFolder box;
  box.SetName("/box");
  box.SetPath(dir_.File("box"));
  box.mRights = accounts::kAllRights;
  box.mUseMaxSize = true;
  box.mMaxSize = 1;
  box.mCreditsExempt = true;
  record.AddOrReplaceFolder(box);
  record.mUseCredits = true;
  record.mUploadCredits = -1;
  record.mCurrentCredits = 1;
  AccountFileSystem fs(record, cache_, clock_);
  FileTransfer* upload = fs.OpenForUpload("/box/file.bin", false, 0, &message_);
  ASSERT_NE(upload, nullptr) << message_;
  const std::string big(kMegabyte + 100, 'x');
  EXPECT_FALSE(upload->Write(big.data(), big.size(), &reason_));
  EXPECT_EQ(reason_, "You have reached your maximim account allocation for this resource");
  fs.CloseTransfer(upload);
  EXPECT_EQ(std::filesystem::file_size(dir_.File("box/file.bin")), kMegabyte);
  EXPECT_EQ(fs.GetCredits(), 1u);  // the folder is credit-exempt
}

TEST_F(FileTransferTest, DeletedUploadsGiveBackTheCreditsTheyEarned) {
  struct Case {
    const char* name;
    std::uint32_t balance;  // before the upload
    bool resume;            // REST+STOR: the bytes stay
    std::uint32_t spent;    // taken by other transfers meanwhile
    std::uint32_t after;
  } cases[] = {
      {"aborted new file", 100, false, 0, 100},
      // 8 KB at 3 per KB would add 24, but the ceiling lets in only 15.
      {"earned up to the ceiling", 0xFFFFFFF0u, false, 0, 0xFFFFFFF0u},
      {"spent meanwhile: stops at 0", 100, false, 110, 0},
      {"aborted resume keeps its bytes and credits", 100, true, 0, 124},
  };
  const std::string chunk(4096, 'u');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteWholeFile(dir_.File("root/data.bin"), std::string(8192, 'd'));
    accounts::EffectiveRecord record = Record();
    record.mUseCredits = true;
    record.mUploadCredits = 3;
    record.mCurrentCredits = c.balance;
    AccountFileSystem fs(record, cache_, clock_);
    const char* path = c.resume ? "/data.bin" : "/new.bin";
    FileTransfer* upload = fs.OpenForUpload(path, false, c.resume ? 8192 : 0, &message_);
    ASSERT_NE(upload, nullptr) << message_;
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(upload->Write(chunk.data(), chunk.size(), &reason_));
    fs.SubtractCredits(c.spent);
    upload->MarkFailed();
    fs.CloseTransfer(upload);
    EXPECT_EQ(fs.GetCredits(), c.after);
    EXPECT_FALSE(std::filesystem::exists(dir_.File("root/new.bin")));
    if (c.resume) {
      EXPECT_EQ(std::filesystem::file_size(dir_.File("root/data.bin")), 16384u);
    }
  }
}

}  // namespace
}  // namespace quillon::accountfs
