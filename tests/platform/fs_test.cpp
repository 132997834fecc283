#include "platform/fs.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/process.h"
#include "support/temp_dir.h"

namespace quillon::platform {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

TEST(FsTest, RenameNoReplaceNeverTakesATakenName) {
  TempDir dir;
  WriteWholeFile(dir.File("a"), "a");
  WriteWholeFile(dir.File("b"), "b");
  int error = 0;
  EXPECT_FALSE(RenameNoReplace(dir.File("a"), dir.File("b"), &error));
  EXPECT_NE(error, 0);
  EXPECT_FALSE(IsCrossDeviceError(error));
  EXPECT_EQ(ReadWholeFile(dir.File("b")), "b");
  // An empty folder is replaced by a plain rename; not by this one.
  std::filesystem::create_directories(dir.File("full/inside"));
  std::filesystem::create_directories(dir.File("empty"));
  EXPECT_FALSE(RenameNoReplace(dir.File("full"), dir.File("empty"), nullptr));
  EXPECT_TRUE(std::filesystem::exists(dir.File("full/inside")));
  ASSERT_TRUE(RenameNoReplace(dir.File("a"), dir.File("c"), nullptr));
  EXPECT_EQ(ReadWholeFile(dir.File("c")), "a");
  EXPECT_FALSE(std::filesystem::exists(dir.File("a")));
}

TEST(ProcessTest, UserCanReachFollowsThePermissionBitsOfEveryFolderAbove) {
  UserIdentity nobody;
  if (!LookUpUser("nobody", &nobody)) GTEST_SKIP() << "no user nobody here";
  EXPECT_FALSE(LookUpUser("no-such-user-here", &nobody));
  ASSERT_TRUE(LookUpUser("nobody", &nobody));
  EXPECT_FALSE(nobody.groups.empty());
  TempDir dir;
  std::filesystem::create_directories(dir.File("a/b"));
  std::filesystem::permissions(dir.Path(), std::filesystem::perms(0755));
  std::filesystem::permissions(dir.File("a"), std::filesystem::perms(0755));
  // The temporary folder is open to everyone on a usual machine.
  const bool base_open = UserCanReach(nobody, dir.Path());
  EXPECT_EQ(UserCanReach(nobody, dir.File("a/b")), base_open);
  std::filesystem::permissions(dir.File("a"), std::filesystem::perms(0700));
  // Owned by someone else and closed to others: no passage below it.
  if (OwnerOf(dir.File("a")) != static_cast<long>(nobody.uid)) {
    EXPECT_FALSE(UserCanReach(nobody, dir.File("a/b")));
  }
  UserIdentity root;
  ASSERT_TRUE(LookUpUser("root", &root));
  EXPECT_TRUE(UserCanReach(root, dir.File("a/b")));
}

}  // namespace
}  // namespace quillon::platform
