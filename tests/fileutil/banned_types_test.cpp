#include "fileutil/banned_types.h"

#include <gtest/gtest.h>

namespace quillon::fileutil {
namespace {

TEST(BannedTypesTest, ParseSkipsEmptyDuplicateAndOverlongItems) {
  BannedTypes types;
  types.Parse("EXE,,exe, pif");
  EXPECT_EQ(types.Items(), (std::vector<std::string>{"EXE", " pif"}));
  EXPECT_EQ(types.Joined(), "EXE, pif");
  EXPECT_TRUE(types.Contains("exe"));
  EXPECT_TRUE(types.Contains("Exe"));
  EXPECT_FALSE(types.Contains("pif"));  // nothing is trimmed
  EXPECT_TRUE(types.Contains(" PIF"));

  types.Parse(std::string(101, 'x') + "," + std::string(100, 'y') + ",");
  EXPECT_EQ(types.Items(), (std::vector<std::string>{std::string(100, 'y')}));

  types.Parse("");
  EXPECT_TRUE(types.Items().empty());
  EXPECT_EQ(types.Joined(), "");
}

}  // namespace
}  // namespace quillon::fileutil
