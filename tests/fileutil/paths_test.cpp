#include "fileutil/paths.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/fs.h"
#include "support/temp_dir.h"
#include "fileutil/text.h"

namespace quillon::fileutil {
namespace {

TEST(NormalisePathTest, NeverClimbsAboveItsBeginning) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"/a/b/../c", "/a/c"},
      {"/../../x", "/x"},
      {"/", ""},
      {"", ""},
      {"/a", "/a"},
      {"/./a", "/a"},
      {"/a/./b", "/a/b"},
      {"/a/b/..", "/a"},
      {"//a///b//", "/a/b"},
      {"a/../../b/c", "b/c"},
      {"/a/b/../../../../etc/passwd", "/etc/passwd"},
      {"/.well-known/../../../x", "/x"},
  };
  for (const Case& c : cases) EXPECT_EQ(NormalisePath(c.in), c.out) << c.in;
}

TEST(NormalisePathTest, EveryOtherComponentIsANameTakenAsWritten) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      // Old device names are ordinary names on this system.
      {"/edge/aux/notes.txt", "/edge/aux/notes.txt"},
      {"/Con/x", "/Con/x"},
      {"/LPT1/x", "/LPT1/x"},
      {"/com1/z", "/com1/z"},
      {"/NUL", "/NUL"},
      {"/aux/aux/aux", "/aux/aux/aux"},
      // So are stars, blanks, dots and backslashes inside a name.
      {"/x*y", "/x*y"},
      {"/music*", "/music*"},
      {"/a/b   ", "/a/b   "},
      {"/ lead", "/ lead"},
      {"/name.", "/name."},
      {"/a/.../b", "/a/.../b"},
      {"/a/.hidden/b", "/a/.hidden/b"},
      {"/.htaccess", "/.htaccess"},
      {"/a\\b.txt", "/a\\b.txt"},
      {"\\..\\..\\etc", "\\..\\..\\etc"},
      {"/a\\..\\..\\etc", "/a\\..\\..\\etc"},
  };
  for (const Case& c : cases) EXPECT_EQ(NormalisePath(c.in), c.out) << c.in;
}

TEST(NormalisePathTest, WebPathsReadBackslashesAsSeparatorsAndDropHiddenSteps) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"\\\\pc1\\share\\..\\y", "/pc1/y"},
      {"/a\\..\\..\\..\\etc", "/etc"},
      {"/a/.hidden/b", "/a/b"},
      {"/a/.../b", "/a/b"},
      {"/aux/index.html", "/aux/index.html"},
      {"/../x", "/x"},
  };
  for (const Case& c : cases) EXPECT_EQ(NormaliseWebPath(c.in), c.out) << c.in;
}

TEST(NormalisePathTest, DeepPathsStayBounded) {
  std::string deep;
  for (int i = 0; i < 3000; ++i) deep += "/d";
  const std::string out = NormalisePath(deep + "/../../../../../../../../x");
  EXPECT_EQ(out.front(), '/');
  EXPECT_EQ(out.find(".."), std::string::npos);
}

TEST(PathPartsTest, ParentNameAndExtension) {
  std::string out;
  EXPECT_TRUE(ParentFolder("/srv/ftp/file.txt", &out, 261));
  EXPECT_EQ(out, "/srv/ftp");
  EXPECT_TRUE(ParentFolder("/file", &out, 261));
  EXPECT_EQ(out, "/");
  EXPECT_FALSE(ParentFolder("/", &out, 261));
  EXPECT_FALSE(ParentFolder("name", &out, 261));
  EXPECT_FALSE(ParentFolder("/abc/x", &out, 4));  // "/abc" needs 5

  EXPECT_EQ(FileNamePart("/srv/ftp/file.txt"), "file.txt");
  EXPECT_EQ(FileNamePart("/srv/a\\b"), "a\\b");  // a backslash is part of a name
  EXPECT_TRUE(ParentFolder("/srv/a\\b", &out, 261));
  EXPECT_EQ(out, "/srv");
  EXPECT_EQ(FileNamePart("plain"), "plain");

  EXPECT_TRUE(Extension("archive.tar.gz", &out, 10));
  EXPECT_EQ(out, "gz");
  EXPECT_TRUE(Extension(".profile", &out, 10));
  EXPECT_EQ(out, "profile");
  EXPECT_FALSE(Extension("name.", &out, 10));
  EXPECT_FALSE(Extension("noext", &out, 10));
  EXPECT_FALSE(Extension("a", &out, 10));
  EXPECT_FALSE(Extension("x.toolong", &out, 5));
}

TEST(PathPartsTest, AbsoluteFolderEndsWithSeparator) {
  EXPECT_EQ(AbsoluteFolder("/srv/ftp"), "/srv/ftp/");
  EXPECT_EQ(AbsoluteFolder("/srv/ftp/"), "/srv/ftp/");
  const std::string here = platform::CurrentFolder();
  EXPECT_EQ(AbsoluteFolder(""), here + "/");
  EXPECT_EQ(AbsoluteFolder("sub"), here + "/sub/");
}

TEST(BuildFtpPathTest, JoinsNormalisesAndRefusesWhatCannotBeNamedSafely) {
  const std::string longest_name(kMaxNameLength, 'n');
  const std::string too_long_name(kMaxNameLength + 1, 'n');
  const std::string too_long_step = too_long_name + "/x";  // outlives the table's views
  struct Case {
    std::string_view current;
    std::string_view argument;
    const char* out;  // null: refused
  } cases[] = {
      {"/", "a.txt", "/a.txt"},
      {"/sub", "a.txt", "/sub/a.txt"},
      {"/sub", "/a.txt", "/a.txt"},
      {"/sub", "..", "/"},
      {"/sub", "./x/../y", "/sub/y"},
      {"/sub", "file.tar.gz", "/sub/file.tar.gz"},
      {"/", "", "/"},
      // A line feed or any other control byte would become part of a name.
      {"/", "evil\ndrwxrwxrwx 1 x", nullptr},
      {"/", std::string_view("a\0b", 3), nullptr},
      {"/", "tab\there", nullptr},
      {"/", "del\x7f", nullptr},
      {"/", "high\xe9", "/high\xe9"},  // bytes above 0x7F are plain text
      // Every other name is served as itself.
      {"/", "/sub/.cache", "/sub/.cache"},
      {"/a", ".b", "/a/.b"},
      {"/", ".htaccess", "/.htaccess"},
      {"/", "x/.../y", "/x/.../y"},
      {"/edge", "aux/notes.txt", "/edge/aux/notes.txt"},
      {"/", "x*y", "/x*y"},
      {"/", "trailing  ", "/trailing  "},
      {"/sub", "\\a.txt", "/sub/\\a.txt"},
      {"/", "x\\.git\\config", "/x\\.git\\config"},
      {"/", "x\\..\\..\\y", "/x\\..\\..\\y"},
      // A name the system cannot hold is refused, never cut.
      {"/", longest_name, nullptr},  // checked below
      {"/", too_long_name, nullptr},
      {"/deep", too_long_step, nullptr},
  };
  for (const Case& c : cases) {
    std::string out = "untouched";
    const bool built = BuildFtpPath(c.current, c.argument, &out);
    if (c.argument == longest_name) {
      EXPECT_TRUE(built);
      EXPECT_EQ(out, "/" + longest_name);
    } else if (c.out == nullptr) {
      EXPECT_FALSE(built) << c.argument;
      EXPECT_EQ(out, "untouched");
    } else {
      EXPECT_TRUE(built) << c.argument;
      EXPECT_EQ(out, c.out) << c.argument;
    }
  }
}

TEST(BuildFtpPathTest, PathsThatDoNotFitAreRefusedNotCut) {
  // Components of 250 bytes up to the system's whole-path limit of 4095
  // bytes (PATH_MAX and its NUL).
  constexpr std::size_t kLongest = 4095;
  const std::string step = "/" + std::string(250, 's');
  std::string fits;
  while (fits.size() + step.size() < kLongest) fits += step;
  fits += "/" + std::string(kLongest - fits.size() - 1, 'n');
  ASSERT_EQ(fits.size(), kLongest);
  std::string out;
  ASSERT_TRUE(BuildFtpPath("/", fits, &out));
  EXPECT_EQ(out, fits);
  EXPECT_FALSE(BuildFtpPath("/", fits + "x", &out));
  EXPECT_EQ(out, fits);
  // Joined to the current folder, the whole path counts.
  const std::size_t cut = fits.rfind('/');
  ASSERT_TRUE(BuildFtpPath(fits.substr(0, cut), fits.substr(cut + 1), &out));
  EXPECT_EQ(out, fits);
  EXPECT_FALSE(BuildFtpPath(fits.substr(0, cut), fits.substr(cut + 1) + "x", &out));
  // The length that counts is the normalised one: climbing back out of a
  // long name leaves a short path.
  ASSERT_TRUE(BuildFtpPath("/", fits + "x/../short", &out));
  EXPECT_EQ(out, fits.substr(0, cut) + "/short");
  ASSERT_TRUE(BuildFtpPath(fits.substr(0, cut), "../up", &out));
  EXPECT_EQ(out, fits.substr(0, fits.rfind('/', cut - 1)) + "/up");
}

TEST(StaysWithinTest, LinksLeadingOutOfTheBaseAreCaught) {
  testing::TempDir dir;
  const std::string base = dir.File("root");
  std::filesystem::create_directories(base + "/inner");
  std::filesystem::create_directories(dir.File("outside"));
  std::filesystem::create_directory_symlink("/", base + "/to-slash");
  std::filesystem::create_directory_symlink(dir.File("outside"), base + "/to-outside");
  std::filesystem::create_directory_symlink(base + "/inner", base + "/to-inner");
  std::filesystem::create_symlink("/etc/hostname", base + "/file-link");
  std::filesystem::create_directory_symlink(dir.File("root"), dir.File("root-link"));

  EXPECT_TRUE(StaysWithin(base, base));
  EXPECT_TRUE(StaysWithin(base, base + "/inner"));
  EXPECT_TRUE(StaysWithin(base, base + "/inner/not-yet/new.txt"));  // judged by /inner
  EXPECT_TRUE(StaysWithin(base, base + "/to-inner/x"));
  EXPECT_FALSE(StaysWithin(base, base + "/to-slash"));
  EXPECT_FALSE(StaysWithin(base, base + "/to-slash/etc/passwd"));
  EXPECT_FALSE(StaysWithin(base, base + "/to-outside/new.txt"));
  EXPECT_FALSE(StaysWithin(base, base + "/file-link"));
  // A base reached through a link is the folder it resolves to.
  EXPECT_TRUE(StaysWithin(dir.File("root-link"), base + "/inner"));
  // A neighbour whose name begins with the base's is not inside it.
  std::filesystem::create_directories(dir.File("root2"));
  EXPECT_FALSE(StaysWithin(base, dir.File("root2")));
  EXPECT_TRUE(StaysWithin("/", "/etc"));
}

TEST(PathTestsTest, FilesAndFoldersAreToldApart) {
  testing::TempDir dir;
  testing::WriteWholeFile(dir.File("f.bin"), "12345");
  EXPECT_TRUE(PathExists(dir.File("f.bin")));
  EXPECT_TRUE(FileExists(dir.File("f.bin")));
  EXPECT_FALSE(FolderExists(dir.File("f.bin")));
  EXPECT_TRUE(FolderExists(dir.Path()));
  EXPECT_FALSE(FileExists(dir.Path()));
  EXPECT_FALSE(PathExists(dir.File("missing")));
  EXPECT_EQ(FileSizeOf(dir.File("f.bin")), 5u);
  EXPECT_EQ(FileSizeOf(dir.File("missing")), 0u);
  EXPECT_TRUE(FolderExists("/"));
  // Devices and FIFOs exist, but are not files.
  EXPECT_TRUE(PathExists("/dev/null"));
  EXPECT_FALSE(FileExists("/dev/null"));
  ASSERT_TRUE(platform::MakeFifo(dir.File("pipe")));
  EXPECT_FALSE(FileExists(dir.File("pipe")));
}

TEST(TextTest, CapacityLimitsAndReplacements) {
  std::string text;
  EXPECT_TRUE(CopyText(&text, "abc", 4));
  EXPECT_FALSE(CopyText(&text, "abcd", 4));
  EXPECT_EQ(text, "abc");
  EXPECT_FALSE(AppendText(&text, "de", 5));
  EXPECT_EQ(text, "abcd");

  text = "a/b/c";
  EXPECT_EQ(ReplaceChar(&text, '/', '\\'), 2u);
  EXPECT_EQ(text, "a\\b\\c");
  text = "%20x%20";
  EXPECT_EQ(ReplaceAll(&text, 100, "%20", " "), 2u);
  EXPECT_EQ(text, " x ");
  text = "aa";
  EXPECT_EQ(ReplaceAll(&text, 4, "a", "xx"), 1u);  // the second would not fit
  EXPECT_EQ(text, "xxa");
  text = "path///";
  EXPECT_EQ(StripTrailing(&text, '/'), 3u);
  EXPECT_EQ(text, "path");

  EXPECT_TRUE(EqualNoCase("ReadMe.TXT", "readme.txt"));
  EXPECT_FALSE(EqualNoCase("readme", "readme "));
  EXPECT_FALSE(EqualNoCase("\xC4", "\xE4"));  // only A-Z fold
}

TEST(TextTest, ParseUnsignedReadsLikeScanf) {
  EXPECT_EQ(ParseUnsigned("123", false), 123u);
  EXPECT_EQ(ParseUnsigned("  42abc", false), 42u);
  EXPECT_EQ(ParseUnsigned("abc", false), 0u);
  EXPECT_EQ(ParseUnsigned("-1", false), 4294967295u);
  EXPECT_EQ(ParseUnsigned("-1", true), 0u);
  EXPECT_EQ(ParseUnsigned("12-3", true), 0u);
  EXPECT_EQ(ParseUnsigned("+7", true), 7u);
}

}  // namespace
}  // namespace quillon::fileutil
