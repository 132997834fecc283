#include "platform/users.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/fs.h"
#include "platform/net.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace quillon::platform {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

// A user id that no test file belongs to by accident: the serving user.
constexpr unsigned kServing = 64000;

struct stat Lstat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

class RootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "owners can only be changed by root";
  }
  TempDir dir_;
};

TEST_F(RootTest, OnlyFilesRootAloneCanChangeAreTrusted) {
  const std::string file = dir_.File("root.conf");
  WriteWholeFile(file, "run_as_user = root\n");
  chmod(file.c_str(), 0644);
  std::filesystem::create_directories(dir_.File("shared"));
  chmod(dir_.File("shared").c_str(), 01777);
  WriteWholeFile(dir_.File("shared/conf"), "x");
  std::filesystem::create_directories(dir_.File("open"));
  chmod(dir_.File("open").c_str(), 0777);
  WriteWholeFile(dir_.File("open/conf"), "x");
  std::filesystem::create_directories(dir_.File("served"));
  ASSERT_EQ(chown(dir_.File("served").c_str(), kServing, kServing), 0);
  WriteWholeFile(dir_.File("served/conf"), "x");
  WriteWholeFile(dir_.File("planted.conf"), "x");
  ASSERT_EQ(chown(dir_.File("planted.conf").c_str(), kServing, kServing), 0);
  WriteWholeFile(dir_.File("writable.conf"), "x");
  chmod(dir_.File("writable.conf").c_str(), 0664);
  std::filesystem::create_symlink(file, dir_.File("root-link"));
  std::filesystem::create_symlink(file, dir_.File("serving-link"));
  ASSERT_EQ(lchown(dir_.File("serving-link").c_str(), kServing, kServing), 0);
  std::filesystem::create_symlink(dir_.File("served"), dir_.File("to-served"));
  std::filesystem::create_symlink("../root.conf", dir_.File("shared/up"));

  const struct {
    std::string path;
    long untrusted;
    const char* refusal;  // nullptr: trusted
  } cases[] = {
      {file, kServing, nullptr},
      {dir_.File("shared/conf"), kServing, nullptr},  // sticky: root's entries stay root's
      {dir_.File("root-link"), kServing, nullptr},
      {dir_.File("shared/up"), kServing, nullptr},
      {dir_.File("shared/../root.conf"), kServing, nullptr},
      {dir_.File("open/conf"), kServing, "open is writable by its group or by others"},
      {dir_.File("served/conf"), kServing, "served belongs to the serving user"},
      {dir_.File("served/conf"), -1, nullptr},
      {dir_.File("planted.conf"), -1, "planted.conf belongs to uid 64000, not to root"},
      {dir_.File("writable.conf"), -1, "writable.conf is writable by its group or by others"},
      {dir_.File("serving-link"), kServing, "serving-link is a link that belongs to the serving user"},
      {dir_.File("to-served/conf"), kServing, "served belongs to the serving user"},
      {dir_.Path(), -1, "is not a regular file"},
      {dir_.File("missing.conf"), -1, "missing.conf: "},
  };
  for (const auto& c : cases) {
    std::string reason;
    const bool trusted = CheckRootOnlyFile(c.path, c.untrusted, &reason);
    EXPECT_EQ(trusted, c.refusal == nullptr) << c.path << ": " << reason;
    if (c.refusal != nullptr) {
      EXPECT_NE(reason.find(c.refusal), std::string::npos) << reason;
    }
  }
}

TEST_F(RootTest, HandingOverNeverReachesThroughLinks) {
  const std::string outside = dir_.File("outside");
  WriteWholeFile(outside, "root's");
  std::filesystem::create_directories(dir_.File("logs"));
  WriteWholeFile(dir_.File("logs/ftp_0.txt"), "log");
  std::filesystem::create_symlink(outside, dir_.File("logs/link"));
  ASSERT_EQ(link(outside.c_str(), dir_.File("logs/hard").c_str()), 0);
  WriteWholeFile(dir_.File("logs/other"), "kept");

  ASSERT_TRUE(HandOverEntries(dir_.File("logs"), kServing, kServing, {"ftp_0.txt", "link", "hard"}));
  EXPECT_EQ(Lstat(dir_.File("logs/ftp_0.txt")).st_uid, kServing);
  EXPECT_EQ(Lstat(dir_.File("logs/link")).st_uid, kServing);  // the link itself
  EXPECT_EQ(Lstat(outside).st_uid, 0u);  // neither through the link nor the second name
  EXPECT_EQ(Lstat(dir_.File("logs/other")).st_uid, 0u);  // not named
  ASSERT_TRUE(HandOverEntries(dir_.File("logs"), kServing, kServing));
  EXPECT_EQ(Lstat(dir_.File("logs/other")).st_uid, kServing);
  EXPECT_EQ(Lstat(outside).st_uid, 0u);
}

TEST_F(RootTest, ClaimingTakesBackOnlyAPlainFile) {
  const std::string key = dir_.File("tls-key.pem");
  WriteWholeFile(key, "key");
  ASSERT_EQ(chown(key.c_str(), kServing, kServing), 0);
  chmod(key.c_str(), 0600);
  ASSERT_TRUE(ClaimForRoot(key, kServing, 0640));
  struct stat st = Lstat(key);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, kServing);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_TRUE(ClaimForRoot(dir_.File("none.pem"), kServing, 0640));

  const std::string target = dir_.File("target");
  WriteWholeFile(target, "t");
  ASSERT_EQ(chown(target.c_str(), kServing, kServing), 0);
  std::filesystem::create_symlink(target, dir_.File("link.pem"));
  EXPECT_FALSE(ClaimForRoot(dir_.File("link.pem"), 0, 0640));
  EXPECT_EQ(Lstat(target).st_uid, kServing);
}

TEST_F(RootTest, OwnFilesAreNeverOpenedThroughALink) {
  const std::string secret = dir_.File("secret");
  WriteWholeFile(secret, "secret");
  std::filesystem::create_symlink(secret, dir_.File("servicelog.txt"));
  std::filesystem::create_symlink(dir_.File("absent"), dir_.File("dangling.txt"));
  ASSERT_EQ(link(secret.c_str(), dir_.File("hard.txt").c_str()), 0);
  WriteWholeFile(dir_.File("plain.txt"), "plain");

  const struct {
    const char* name;
    int error;  // 0: opens
  } cases[] = {{"servicelog.txt", ELOOP}, {"dangling.txt", ELOOP}, {"hard.txt", EMLINK},
               {"plain.txt", 0}, {"new.txt", 0}};
  for (const auto& c : cases) {
    int error = 0;
    const int fd = OpenFile(dir_.File(c.name), OpenMode::kWriteAlways, 0600, &error, Links::kRefuse);
    EXPECT_EQ(fd >= 0, c.error == 0) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    if (fd >= 0) CloseFile(fd);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("absent")));
  EXPECT_EQ(ReadWholeFile(secret), "secret");
  // Others follow links as before.
  const int fd = OpenFile(dir_.File("servicelog.txt"), OpenMode::kReadExisting, 0600, nullptr);
  EXPECT_GE(fd, 0);
  CloseFile(fd);
}

TEST_F(RootTest, RootReplacesALockFileItDoesNotOwnUnlessItIsHeld) {
  ::setenv("QUILLON_LOCK_DIR", dir_.Path().c_str(), 1);
  const std::string path = dir_.File("LOCK");
  WriteWholeFile(path, "");
  ASSERT_EQ(chown(path.c_str(), kServing, kServing), 0);

  // Held by its owner: the start is refused as one that is already running.
  const int holder = open(path.c_str(), O_RDONLY);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  InstanceLock lock;
  bool held_elsewhere = false;
  EXPECT_FALSE(lock.Acquire("unused", "LOCK", &held_elsewhere));
  EXPECT_TRUE(held_elsewhere);
  EXPECT_EQ(Lstat(path).st_uid, kServing);
  close(holder);

  ASSERT_TRUE(lock.Acquire("unused", "LOCK", &held_elsewhere));
  const struct stat st = Lstat(path);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // The new file is the one locked: another open of the name cannot take it.
  const int other = open(path.c_str(), O_RDONLY);
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.Path()),
                          std::filesystem::directory_iterator()),
            1);  // no temporary left behind
  lock.Close();
  ::unsetenv("QUILLON_LOCK_DIR");
}

TEST(IdentityTest, TheUserAndMachineNamesAreTheSystemsOwn) {
  // The owner of the files this process creates, by name.
  const passwd* entry = getpwuid(geteuid());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(EffectiveUserName(), entry->pw_name);
  if (geteuid() == 0) {
    EXPECT_EQ(EffectiveUserName(), "root");
  }
  // The kernel's host name, whole.
  std::string kernel = ReadWholeFile("/proc/sys/kernel/hostname");
  while (!kernel.empty() && kernel.back() == '\n') kernel.pop_back();
  EXPECT_EQ(HostName(), kernel);
  EXPECT_FALSE(HostName().empty());
}

}  // namespace
}  // namespace quillon::platform
