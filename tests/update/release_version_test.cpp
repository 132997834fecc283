#include "update/release_version.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quillon::update {
namespace {

TEST(ReleaseVersionTest, VersionTextsParseAndCompareFieldByField) {
  struct Case {
    const char* text;
    std::optional<ReleaseVersion> version;
  };
  const Case cases[] = {
      {"1.03", ReleaseVersion{1, 3, 0}},
      {"1.3", ReleaseVersion{1, 3, 0}},
      {"2", ReleaseVersion{2, 0, 0}},
      {"1.03.7", ReleaseVersion{1, 3, 7}},
      {"0.0.0", ReleaseVersion{0, 0, 0}},
      {"999999999.1", ReleaseVersion{999'999'999, 1, 0}},
      {"1234567890.1", std::nullopt},  // ten digits
      {"", std::nullopt},
      {"1.", std::nullopt},
      {".1", std::nullopt},
      {"1..3", std::nullopt},
      {"1.2.3.4", std::nullopt},
      {"1.03\r\n", std::nullopt},
      {" 1.03", std::nullopt},
      {"+1.03", std::nullopt},
      {"-1.03", std::nullopt},
      {"1.04 beta", std::nullopt},
      {"v1.04", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<ReleaseVersion> parsed = ParseReleaseVersion(c.text);
    ASSERT_EQ(parsed.has_value(), c.version.has_value()) << c.text;
    if (parsed) {
      EXPECT_EQ(*parsed, *c.version) << c.text;
    }
  }

  // Numbers, not texts: "1.10" is newer than "1.9", "1.03.1" than "1.03".
  const char* ascending[] = {"0.99", "1", "1.03", "1.03.1", "1.4", "1.9", "1.10", "2.0"};
  for (std::size_t i = 1; i < std::size(ascending); ++i)
    EXPECT_LT(*ParseReleaseVersion(ascending[i - 1]), *ParseReleaseVersion(ascending[i]))
        << ascending[i - 1] << " < " << ascending[i];
  EXPECT_EQ(*ParseReleaseVersion("1.03"), *ParseReleaseVersion("1.3.0"));
}

TEST(ReleaseVersionTest, AProgramNamesItsReleaseByOneVersionInItsMarks) {
  const std::string start = "\x01quillon-release-version=";
  struct Case {
    const char* name;
    std::string program;
    bool found;
    std::string text;  // the version text, or the failure
  };
  const Case cases[] = {
      {"one mark", "code" + start + "1.04\x01" + "more code", true, "1.04"},
      {"the mark at the very end", "code" + start + "1.10\x01", true, "1.10"},
      {"the same version twice", start + "1.04\x01" + "x" + start + "1.4.0\x01", true, "1.04"},
      {"the searcher's own text is not a mark",
       std::string("code") + start + '\0' + "x" + start + "1.04\x01", true, "1.04"},
      {"no mark", "a program built before release marks", false,
       "the program file names no release version"},
      {"a mark start without its end", "code" + start + "1.04", false,
       "the program file names no release version"},
      {"a mark without a version", "code" + start + "new\x01", false,
       "the program file names no release version"},
      {"an over-long version", "code" + start + std::string(40, '1') + "\x01", false,
       "the program file names no release version"},
      {"two versions", start + "1.04\x01" + start + "1.02\x01", false,
       "the program file names more than one release version"},
  };
  for (const Case& c : cases) {
    std::string text;
    std::string error;
    const bool found = FindReleaseMark(c.program, &text, &error);
    EXPECT_EQ(found, c.found) << c.name;
    EXPECT_EQ(found ? text : error, c.text) << c.name;
  }

  // The mark a program keeps of itself is the one the updater finds.
  static constexpr ReleaseMark kMark("1.03");
  EXPECT_EQ(kMark.View(), start + "1.03\x01");
  std::string text;
  std::string error;
  ASSERT_TRUE(FindReleaseMark("head" + std::string(kMark.View()) + "tail", &text, &error));
  EXPECT_EQ(text, "1.03");
}

}  // namespace
}  // namespace quillon::update
