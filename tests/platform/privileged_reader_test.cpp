#include "platform/privileged_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/temp_dir.h"

namespace quillon::platform {
namespace {

using testing::TempDir;
using testing::WriteWholeFile;

// Each "file = PATH" line of a configuration names one file.
std::vector<std::string> FileLines(const std::string& text) {
  std::vector<std::string> paths;
  std::size_t at = 0;
  while ((at = text.find("file = ", at)) != std::string::npos) {
    at += 7;
    paths.push_back(text.substr(at, text.find('\n', at) - at));
  }
  return paths;
}

TEST(PrivilegedReaderTest, TheHelperReadsTheConfigurationAndWhatItNamesEachTime) {
  TempDir dir;
  const std::string config = dir.File("server.conf");
  WriteWholeFile(dir.File("a.pem"), "first");
  WriteWholeFile(dir.File("b.pem"), "second");
  WriteWholeFile(config, "file = " + dir.File("a.pem") + "\n");
  PrivilegedReader reader;
  std::string error;
  ASSERT_TRUE(reader.Start(config, &FileLines, -1, &error)) << error;
  std::vector<FileContent> files;
  ASSERT_TRUE(reader.Read(&files, &error)) << error;
  ASSERT_EQ(files.size(), 2u);
  EXPECT_TRUE(files[0].read);
  EXPECT_EQ(files[0].bytes, "file = " + dir.File("a.pem") + "\n");
  EXPECT_EQ(files[1].path, dir.File("a.pem"));
  EXPECT_EQ(files[1].bytes, "first");

  // A changed configuration names other files: those are read now.
  WriteWholeFile(config, "file = " + dir.File("b.pem") + "\nfile = \nfile = " + dir.File("none.pem") + "\n");
  ASSERT_TRUE(reader.Read(&files, &error)) << error;
  ASSERT_EQ(files.size(), 4u);
  EXPECT_EQ(files[1].bytes, "second");
  EXPECT_FALSE(files[2].read);  // named none
  EXPECT_FALSE(files[3].read);
  EXPECT_TRUE(files[3].missing);
  EXPECT_EQ(files[3].error, dir.File("none.pem") + ": No such file or directory");

  // Without a configuration there are only its defaults, and nothing else to read.
  std::filesystem::remove(config);
  ASSERT_TRUE(reader.Read(&files, &error)) << error;
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].read);
  EXPECT_EQ(files[0].bytes, "");
}

TEST(PrivilegedReaderTest, OnlyRegularFilesAreReadAndTheConfigurationNeverThroughALink) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
  FileContent pipe = ReadTrustedFile(dir.File("pipe"), -1, true);  // must not wait for a writer
  EXPECT_FALSE(pipe.read);
  EXPECT_NE(pipe.error.find("not a regular file"), std::string::npos) << pipe.error;

  WriteWholeFile(dir.File("real.conf"), "file = x\n");
  std::filesystem::create_symlink(dir.File("real.conf"), dir.File("link.conf"));
  EXPECT_FALSE(ReadFileSet(dir.File("link.conf"), &FileLines, -1).front().read);
  EXPECT_TRUE(ReadTrustedFile(dir.File("link.conf"), -1, true).read);

  WriteWholeFile(dir.File("big.pem"), std::string(kMaxReloadFileBytes + 1, 'x'));
  EXPECT_FALSE(ReadTrustedFile(dir.File("big.pem"), -1, true).read);

  // Root reads nothing another user could have changed.
  if (IsSuperUser()) {
    WriteWholeFile(dir.File("open.pem"), "anyone's");
    ASSERT_EQ(::chmod(dir.File("open.pem").c_str(), 0666), 0);
    const FileContent open = ReadTrustedFile(dir.File("open.pem"), -1, true);
    EXPECT_FALSE(open.read);
    EXPECT_EQ(open.bytes, "");
    EXPECT_NE(open.error.find("; root reads only files that root alone can change"), std::string::npos)
        << open.error;
  }
}

}  // namespace
}  // namespace quillon::platform
