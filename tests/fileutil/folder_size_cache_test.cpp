#include "fileutil/folder_size_cache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/manual_clock.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace quillon::fileutil {
namespace {

using testing::TempDir;
using testing::WriteWholeFile;

class FolderSizeCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.File("a/b"));
    std::filesystem::create_directories(dir_.File("a/bc"));
    WriteWholeFile(dir_.File("a/top.bin"), std::string(100, 'x'));
    WriteWholeFile(dir_.File("a/b/inner.bin"), std::string(30, 'x'));
    WriteWholeFile(dir_.File("a/bc/other.bin"), std::string(7, 'x'));
  }

  testing::ManualClock clock_;
  TempDir dir_;
  FolderSizeCache cache_{clock_};
};

TEST_F(FolderSizeCacheTest, FolderSizeSumsEveryFileBelow) {
  std::uint64_t bytes = 0;
  ASSERT_TRUE(FolderSizeCache::FolderSize(dir_.File("a"), &bytes));
  EXPECT_EQ(bytes, 137u);
  // A link to a folder is not entered, so a loop cannot trap the walk.
  std::filesystem::create_directory_symlink(dir_.File("a"), dir_.File("a/b/loop"));
  ASSERT_TRUE(FolderSizeCache::FolderSize(dir_.File("a"), &bytes));
  EXPECT_EQ(bytes, 137u);
  EXPECT_FALSE(FolderSizeCache::FolderSize(dir_.File("missing"), &bytes));
  ASSERT_TRUE(FolderSizeCache::FolderSize("/", &bytes));
  EXPECT_GT(bytes, 0u);
}

TEST_F(FolderSizeCacheTest, BytesReachCachedFoldersAboveButNotSiblings) {
  FolderSizeCache::Hold a = cache_.Acquire(dir_.File("a"));
  FolderSizeCache::Hold bc = cache_.Acquire(dir_.File("a/bc"));
  FolderSizeCache::Hold b = cache_.Acquire(dir_.File("a/b"));
  ASSERT_TRUE(a && b && bc);
  EXPECT_EQ(cache_.SizeOf(b), 30u);

  cache_.AddBytes(b, 1000);
  EXPECT_EQ(cache_.SizeOf(b), 1030u);
  EXPECT_EQ(cache_.SizeOf(a), 1137u);
  EXPECT_EQ(cache_.SizeOf(bc), 7u);  // "a/bc" is not below "a/b"

  cache_.SubtractBytes(bc, 50);  // stops at 0
  EXPECT_EQ(cache_.SizeOf(bc), 0u);
  EXPECT_EQ(cache_.SizeOf(a), 1087u);

  // The same folder, named differently, is the same entry.
  FolderSizeCache::Hold again = cache_.Acquire(dir_.File("a/b/"));
  EXPECT_EQ(again.Get(), b.Get());
  EXPECT_EQ(cache_.EntryCount(), 3u);
  EXPECT_FALSE(cache_.Acquire(dir_.File("missing")));
}

TEST_F(FolderSizeCacheTest, CachedFolderIsNotWalkedAgainUntilItsTimeRunsOut) {
  FolderSizeCache::Hold a = cache_.Acquire(dir_.File("a"));
  ASSERT_TRUE(a);
  WriteWholeFile(dir_.File("a/late.bin"), std::string(63, 'x'));
  cache_.Acquire(dir_.File("a")).Reset();  // a second hold, let go at once
  EXPECT_EQ(cache_.SizeOf(a), 137u);

  clock_.Advance(3599 * 1000);
  cache_.Sweep();
  EXPECT_EQ(cache_.SizeOf(a), 137u);
  clock_.Advance(1000);
  cache_.Sweep();  // in use: measured again, not dropped
  EXPECT_EQ(cache_.SizeOf(a), 200u);
  EXPECT_EQ(cache_.EntryCount(), 1u);

  a.Reset();
  clock_.Advance(3600 * 1000);
  cache_.Sweep();
  EXPECT_EQ(cache_.EntryCount(), 0u);
}

TEST_F(FolderSizeCacheTest, AFolderAboveACachedOneStaysWhileTheChildDoes) {
  FolderSizeCache::Hold a = cache_.Acquire(dir_.File("a"));
  FolderSizeCache::Hold b = cache_.Acquire(dir_.File("a/b"));
  a.Reset();
  clock_.Advance(3600 * 1000);
  cache_.Sweep();
  EXPECT_EQ(cache_.EntryCount(), 2u);  // "a" is linked from "a/b", which is in use
  b.Reset();
  clock_.Advance(3600 * 1000);
  cache_.Sweep();
  EXPECT_EQ(cache_.EntryCount(), 0u);
}

TEST_F(FolderSizeCacheTest, RemoveFolderRefusesAFolderInUse) {
  std::filesystem::create_directory(dir_.File("a/empty"));
  FolderSizeCache::Hold empty = cache_.Acquire(dir_.File("a/empty"));
  EXPECT_FALSE(cache_.RemoveFolder(dir_.File("a/empty")));
  EXPECT_TRUE(std::filesystem::exists(dir_.File("a/empty")));
  empty.Reset();
  EXPECT_TRUE(cache_.RemoveFolder(dir_.File("a/empty")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("a/empty")));
  EXPECT_FALSE(cache_.RemoveFolder(dir_.File("a/b")));  // not empty
  cache_.Sweep();
  EXPECT_EQ(cache_.EntryCount(), 0u);
}

TEST_F(FolderSizeCacheTest, MoveFolderCarriesEntriesAndSizes) {
  std::filesystem::create_directory(dir_.File("z"));
  FolderSizeCache::Hold a = cache_.Acquire(dir_.File("a"));
  FolderSizeCache::Hold b = cache_.Acquire(dir_.File("a/b"));
  FolderSizeCache::Hold z = cache_.Acquire(dir_.File("z"));
  ASSERT_TRUE(cache_.MoveFolder(dir_.File("a/b"), dir_.File("z/b")));
  EXPECT_TRUE(std::filesystem::exists(dir_.File("z/b/inner.bin")));
  EXPECT_EQ(cache_.SizeOf(a), 107u);
  EXPECT_EQ(cache_.SizeOf(z), 30u);
  // The moved entry now counts towards its new parent.
  cache_.AddBytes(b, 5);
  EXPECT_EQ(cache_.SizeOf(z), 35u);
  EXPECT_EQ(cache_.SizeOf(a), 107u);
  EXPECT_EQ(cache_.Acquire(dir_.File("z/b")).Get(), b.Get());
}

TEST_F(FolderSizeCacheTest, BackgroundThreadSweepsAndStops) {
  cache_.Acquire(dir_.File("a")).Reset();
  clock_.Advance(3600 * 1000);
  ASSERT_TRUE(cache_.Start());
  EXPECT_TRUE(testing::WaitUntil([&] { return cache_.EntryCount() == 0; }, 5000));
  cache_.Stop(FolderSizeCache::kStopWaitMs);
  EXPECT_FALSE(cache_.IsRunning());
}

}  // namespace
}  // namespace quillon::fileutil
