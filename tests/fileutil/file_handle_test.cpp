#include "fileutil/file_handle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/fs.h"
#include "support/failing_writer.h"
#include "support/temp_dir.h"
#include "fileutil/file_writer.h"

namespace quillon::fileutil {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

TEST(FileHandleTest, OpenModesCreateAndPositionAsSpecified) {
  TempDir dir;
  const std::string path = dir.File("data.bin");
  FileHandle file;
  EXPECT_FALSE(file.Open(path, FileHandle::Mode::kRead));  // read existing: absent
  EXPECT_FALSE(file.Open(path, FileHandle::Mode::kWrite));  // write existing: absent
  EXPECT_FALSE(std::filesystem::exists(path));

  ASSERT_TRUE(file.Open(path, FileHandle::Mode::kReadOrCreate));  // read always: created empty
  EXPECT_TRUE(file.AtEnd());
  EXPECT_EQ(file.Size(), 0u);

  WriteWholeFile(path, "hello");
  ASSERT_TRUE(file.Open(path, FileHandle::Mode::kWrite));  // write: positioned at the end
  EXPECT_EQ(file.Position(), 5u);
  ASSERT_TRUE(file.WriteAll(" world", 6));
  file.Close();
  EXPECT_EQ(ReadWholeFile(path), "hello world");

  ASSERT_TRUE(file.Open(path, FileHandle::Mode::kRead));  // read: from the start
  EXPECT_FALSE(file.AtEnd());
  char buffer[32];
  EXPECT_EQ(file.Read(buffer, 5), 5u);
  EXPECT_FALSE(file.AtEnd());
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 6u);
  EXPECT_TRUE(file.AtEnd());
  EXPECT_TRUE(file.SeekTo(11));
  EXPECT_TRUE(file.AtEnd());
  EXPECT_TRUE(file.SeekTo(3));
  EXPECT_FALSE(file.AtEnd());

  EXPECT_FALSE(file.Open(dir.Path(), FileHandle::Mode::kRead));  // a folder is not a file
}

TEST(FileHandleTest, ReadLineStopsAtCarriageReturns) {
  TempDir dir;
  const std::string path = dir.File("lines.txt");
  WriteWholeFile(path, "first\r\nsecond\rthird\nstill third\r\n" + std::string(300, 'x') + "\r\n");
  FileHandle file;
  ASSERT_TRUE(file.Open(path, FileHandle::Mode::kRead));
  std::string line;
  ASSERT_TRUE(file.ReadLine(&line, 100));
  EXPECT_EQ(line, "first");
  ASSERT_TRUE(file.ReadLine(&line, 100));
  EXPECT_EQ(line, "second");
  ASSERT_TRUE(file.ReadLine(&line, 100));
  EXPECT_EQ(line, "third\nstill third");
  ASSERT_TRUE(file.ReadLine(&line, 100));
  EXPECT_EQ(line, std::string(99, 'x'));  // cut to the capacity, rest consumed
  EXPECT_FALSE(file.ReadLine(&line, 100));
  EXPECT_TRUE(file.AtEnd());
}

TEST(FileHandleTest, WriteLineAndSixtyFourBitSizes) {
  TempDir dir;
  const std::string path = dir.File("big.bin");
  FileHandle file;
  ASSERT_TRUE(file.Open(path, FileHandle::Mode::kWriteOrCreate));
  ASSERT_TRUE(file.WriteLine("line"));
  // A sparse file past 4 GiB keeps its whole size.
  const std::uint64_t far = (5ull << 30) + 7;
  ASSERT_TRUE(file.SeekTo(far));
  ASSERT_TRUE(file.WriteAll("z", 1));
  EXPECT_EQ(file.Size(), far + 1);
  file.Close();
  ASSERT_TRUE(file.Open(path, FileHandle::Mode::kRead));
  char head[6];
  EXPECT_EQ(file.Read(head, 6), 6u);
  EXPECT_EQ(std::string(head, 6), "line\r\n");
}

TEST(FileHandleTest, OnlyRegularFilesOpenAndAFifoNeverBlocks) {
  TempDir dir;
  FileHandle file;
  EXPECT_FALSE(file.Open("/dev/null", FileHandle::Mode::kRead));
  EXPECT_FALSE(file.Open("/dev/null", FileHandle::Mode::kWriteOrCreate));
  EXPECT_FALSE(file.Open(dir.Path(), FileHandle::Mode::kRead));
  // Opening a FIFO without a writer for reading (or without a reader for
  // writing) would wait forever; it fails at once instead.
  ASSERT_TRUE(platform::MakeFifo(dir.File("pipe")));
  EXPECT_FALSE(file.Open(dir.File("pipe"), FileHandle::Mode::kRead));
  EXPECT_FALSE(file.Open(dir.File("pipe"), FileHandle::Mode::kWriteOrCreate));
  EXPECT_FALSE(file.IsOpen());
  // A regular file opened this way reads and writes normally (blocking again).
  WriteWholeFile(dir.File("plain.txt"), "plain");
  ASSERT_TRUE(file.Open(dir.File("plain.txt"), FileHandle::Mode::kWrite));
  EXPECT_TRUE(file.WriteAll(" more", 5));
  file.Close();
  EXPECT_EQ(ReadWholeFile(dir.File("plain.txt")), "plain more");
}

TEST(FileHandleTest, CreateNewNeverWritesIntoSomethingThatIsThere) {
  TempDir dir;
  FileHandle file;
  ASSERT_TRUE(file.CreateNew(dir.File("new.txt")));
  EXPECT_TRUE(file.WriteAll("first", 5));
  file.Close();
  EXPECT_FALSE(file.CreateNew(dir.File("new.txt")));
  // Not through a link either, even one that points nowhere yet.
  std::filesystem::create_symlink(dir.File("target.txt"), dir.File("link.txt"));
  EXPECT_FALSE(file.CreateNew(dir.File("link.txt")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("target.txt")));
  EXPECT_EQ(ReadWholeFile(dir.File("new.txt")), "first");
}

TEST(FileHandleTest, MoveAcrossFileSystemsCopiesThenDeletes) {
  const std::string base = testing::OtherFileSystemBase();
  if (base.empty()) GTEST_SKIP() << "no second file system for temporary folders";
  TempDir here;
  TempDir there(base);

  const std::string content(300'000, 'm');  // more than one copy chunk
  WriteWholeFile(here.File("big.bin"), content);
  std::filesystem::permissions(here.File("big.bin"), std::filesystem::perms(0640));
  const platform::FileTime stamp{1'000'000'000, 0};
  ASSERT_TRUE(platform::SetPathTimes(here.File("big.bin"), &stamp, &stamp));
  int error = 0;
  ASSERT_FALSE(platform::RenameNoReplace(here.File("big.bin"), there.File("big.bin"), &error));
  EXPECT_TRUE(platform::IsCrossDeviceError(error));

  ASSERT_TRUE(MoveFileAcrossFileSystems(here.File("big.bin"), there.File("big.bin")));
  EXPECT_FALSE(std::filesystem::exists(here.File("big.bin")));
  EXPECT_EQ(ReadWholeFile(there.File("big.bin")), content);
  EXPECT_EQ(platform::PermissionsOf(there.File("big.bin")), 0640u);
  platform::PathInfo moved;
  ASSERT_TRUE(platform::StatPath(there.File("big.bin"), &moved));
  EXPECT_EQ(moved.last_write, stamp);

  // A taken target: nothing is copied and the source stays.
  WriteWholeFile(here.File("again.bin"), "again");
  WriteWholeFile(there.File("again.bin"), "taken");
  EXPECT_FALSE(MoveFileAcrossFileSystems(here.File("again.bin"), there.File("again.bin")));
  EXPECT_EQ(ReadWholeFile(here.File("again.bin")), "again");
  EXPECT_EQ(ReadWholeFile(there.File("again.bin")), "taken");
}

TEST(FileHandleTest, TimesAreSetAndReadBack) {
  TempDir dir;
  const std::string path = dir.File("t.txt");
  FileHandle file;
  ASSERT_TRUE(file.Open(path, FileHandle::Mode::kWriteOrCreate));
  const platform::FileTime when{1047027900, 0};  // Fri, 07 Mar 2003 09:05:00 UTC
  ASSERT_TRUE(file.SetTimes(nullptr, &when));
  platform::FileTime read;
  ASSERT_TRUE(file.GetTimes(nullptr, nullptr, &read));
  EXPECT_EQ(read, when);
  EXPECT_EQ(file.LastWriteText(), "Fri, 07 Mar 2003 09:05:00");  // tests run with TZ=UTC
  file.Close();
  EXPECT_EQ(file.LastWriteText(), "");
}

TEST(FileHandleTest, CreateUniqueMakesOwnerOnlyFiles) {
  TempDir dir;
  FileHandle first, second;
  std::string a, b;
  ASSERT_TRUE(first.CreateUnique(dir.Path(), "list", &a));
  ASSERT_TRUE(second.CreateUnique(dir.Path(), "list", &b));
  EXPECT_NE(a, b);
  EXPECT_EQ(std::filesystem::path(a).filename().string().rfind("list", 0), 0u);
  const auto perms = std::filesystem::status(a).permissions();
  EXPECT_EQ(perms & std::filesystem::perms::all, std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_write);
}

TEST(FileWriterTest, ReplaceIsAllOrNothing) {
  TempDir dir;
  const std::string path = dir.File("store.dta");
  FileWriter writer;
  ASSERT_TRUE(writer.ReplaceFile(path, "old contents", FileHandle::kOwnerOnlyFile));
  EXPECT_EQ(ReadWholeFile(path), "old contents");
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  testing::FailingWriter failing;
  EXPECT_FALSE(failing.ReplaceFile(path, "new contents that never land", FileHandle::kOwnerOnlyFile));
  EXPECT_EQ(ReadWholeFile(path), "old contents");
  // No temporary file is left behind.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);

  EXPECT_FALSE(writer.ReplaceFile(dir.File("missing/store.dta"), "x", FileHandle::kOwnerOnlyFile));
}

TEST(OrderedSaveTest, AnOlderSaveNeverOverwritesANewerOne) {
  TempDir dir;
  const std::string path = dir.File("store.dta");
  FileWriter writer;
  OrderedSave order;
  const std::uint64_t older = order.Ticket();
  const std::uint64_t newer = order.Ticket();
  ASSERT_GT(newer, older);
  ASSERT_TRUE(order.Write(newer, writer, path, "newer", FileHandle::kOwnerOnlyFile));
  // The older contents come late: skipped, and that is no failure.
  EXPECT_TRUE(order.Write(older, writer, path, "older", FileHandle::kOwnerOnlyFile));
  EXPECT_EQ(ReadWholeFile(path), "newer");
  // A failed write does not count as written.
  testing::FailingWriter failing;
  const std::uint64_t failed = order.Ticket();
  EXPECT_FALSE(order.Write(failed, failing, path, "lost", FileHandle::kOwnerOnlyFile));
  ASSERT_TRUE(order.Write(failed, writer, path, "retried", FileHandle::kOwnerOnlyFile));
  EXPECT_EQ(ReadWholeFile(path), "retried");
}

TEST(OwnerOnlyFileTest, ANewFileReplacesAnOldOneButNeverALinkOrFolder) {
  TempDir dir;
  const std::string path = dir.File("secret.txt");
  std::string message;
  auto mode_of = [](const std::string& file) {
    struct stat st {};
    EXPECT_EQ(lstat(file.c_str(), &st), 0);
    return st.st_mode & 07777;
  };

  ASSERT_TRUE(WriteNewOwnerOnlyFile(path, "first\n", &message)) << message;
  EXPECT_EQ(ReadWholeFile(path), "first\n");
  EXPECT_EQ(mode_of(path), 0600u);

  // An old file that others could read, with a second name: removed, not
  // written over, so the other name keeps its text and the new file is
  // owner-only.
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  const std::string other_name = dir.File("other-name.txt");
  std::filesystem::create_hard_link(path, other_name);
  ASSERT_TRUE(WriteNewOwnerOnlyFile(path, "second\n", &message)) << message;
  EXPECT_EQ(ReadWholeFile(path), "second\n");
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_EQ(ReadWholeFile(other_name), "first\n");

  // A link there, dangling or not, and a folder are left as they are.
  const std::string target = dir.File("target.txt");
  WriteWholeFile(target, "target\n");
  struct {
    const char* name;
    bool dangling;
  } links[] = {{"link", false}, {"dangling", true}};
  for (const auto& link : links) {
    SCOPED_TRACE(link.name);
    const std::string at = dir.File(link.name);
    std::filesystem::create_symlink(link.dangling ? dir.File("missing.txt") : target, at);
    EXPECT_FALSE(WriteNewOwnerOnlyFile(at, "secret\n", &message));
    EXPECT_EQ(message, at + " is not a regular file");
    EXPECT_TRUE(std::filesystem::is_symlink(at));
  }
  EXPECT_EQ(ReadWholeFile(target), "target\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing.txt")));
  const std::string folder = dir.File("folder");
  std::filesystem::create_directory(folder);
  EXPECT_FALSE(WriteNewOwnerOnlyFile(folder, "secret\n", &message));
  EXPECT_TRUE(std::filesystem::is_directory(folder));

  // A folder that cannot take the file says why.
  EXPECT_FALSE(WriteNewOwnerOnlyFile(dir.File("absent/secret.txt"), "x", &message));
  EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
}

}  // namespace
}  // namespace quillon::fileutil
