#include "platform/fs.h"

#include <gtest/gtest.h>

#include <filesystem>

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

}  // namespace
}  // namespace quillon::platform
