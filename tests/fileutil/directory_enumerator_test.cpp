#include "fileutil/directory_enumerator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "support/temp_dir.h"

namespace quillon::fileutil {
namespace {

std::set<std::string> Walk(const std::string& folder, bool files, bool folders) {
  std::set<std::string> names;
  DirectoryEnumerator walk;
  DirectoryEntry entry;
  for (bool more = walk.First(folder, &entry, {.files = files, .folders = folders}); more;
       more = walk.Next(&entry))
    names.insert(entry.name + (entry.is_folder ? "/" : "=" + std::to_string(entry.size)));
  return names;
}

TEST(DirectoryEnumeratorTest, FiltersFilesAndFolders) {
  testing::TempDir dir;
  testing::WriteWholeFile(dir.File("a.txt"), "abc");
  testing::WriteWholeFile(dir.File("b.bin"), "");
  std::filesystem::create_directory(dir.File("sub"));
  std::filesystem::create_symlink(dir.File("nowhere"), dir.File("broken"));

  EXPECT_EQ(Walk(dir.Path(), true, false), (std::set<std::string>{"a.txt=3", "b.bin=0"}));
  EXPECT_EQ(Walk(dir.Path(), false, true), (std::set<std::string>{"./", "../", "sub/"}));
  EXPECT_EQ(Walk(dir.Path() + "/", true, true).size(), 5u);
  EXPECT_TRUE(Walk(dir.Path(), false, false).empty());
  EXPECT_TRUE(Walk(dir.File("missing"), true, true).empty());
  EXPECT_TRUE(Walk(dir.File("sub"), true, false).empty());
}

}  // namespace
}  // namespace quillon::fileutil
