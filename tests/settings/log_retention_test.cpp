#include "settings/log_retention.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "platform/fs.h"
#include "settings/log_file.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::settings {
namespace {

namespace fs = std::filesystem;
using testing::WriteWholeFile;

constexpr std::int64_t kDay = 24 * 60 * 60;
constexpr std::int64_t kNow = 1'796'771'770;

class LogRetentionTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_.File("logs")); }

  // A file in logs/ last written `days_ago` days before kNow.
  void Write(const std::string& name, std::int64_t days_ago) {
    const std::string path = dir_.File("logs/" + name);
    WriteWholeFile(path, "line\r\n");
    SetAge(path, days_ago);
  }
  static void SetAge(const std::string& path, std::int64_t days_ago) {
    const platform::FileTime when{kNow - days_ago * kDay, 0};
    ASSERT_TRUE(platform::SetPathTimes(path, &when, &when)) << path;
  }
  std::set<std::string> Left() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.File("logs")))
      names.insert(entry.path().filename().string());
    return names;
  }
  // The FTP log writes to `ftp_current`; the admin log's file is unknown.
  std::uint32_t Remove(std::uint32_t days, const std::string& ftp_current) {
    return RemoveOldLogs(dir_.File("logs"), {{kFtpLogName, ftp_current}, {kAdminLogName, ""}}, kNow, days);
  }

  testing::TempDir dir_;
};

TEST_F(LogRetentionTest, RemovesOnlyOldNumberedLogsOfTheServersFamilies) {
  Write("ftp_1.txt", 100);
  Write("ftp_2.txt", 91);   // written to now
  Write("ftp_3.txt", 89);   // within the days kept
  Write("ftp_10.txt", 95);
  Write("remoteadmin_4.txt", 200);
  Write("remoteadmin_5.txt", 150);  // its family's latest: written to now
  Write("remoteadmin_6.txt", 300);
  Write("servicelog.txt", 300);
  Write("ftp_x.txt", 300);
  Write("ftp_7.txt.bak", 300);
  Write("ftp_.txt", 300);
  Write("notes_1.txt", 300);
  Write("kept_target.txt", 300);
  fs::create_symlink(dir_.File("logs/kept_target.txt"), dir_.File("logs/ftp_8.txt"));
  fs::create_directories(dir_.File("logs/ftp_9.txt"));
  SetAge(dir_.File("logs/ftp_9.txt"), 300);
  const std::set<std::string> before = Left();

  EXPECT_EQ(Remove(0, "ftp_2.txt"), 0u);  // 0 keeps for ever
  EXPECT_EQ(Left(), before);

  EXPECT_EQ(Remove(90, "ftp_2.txt"), 4u);
  std::set<std::string> expected = before;
  for (const char* gone : {"ftp_1.txt", "ftp_10.txt", "remoteadmin_4.txt", "remoteadmin_6.txt"})
    expected.erase(gone);
  EXPECT_EQ(Left(), expected);
  EXPECT_TRUE(fs::is_symlink(dir_.File("logs/ftp_8.txt")));
  EXPECT_TRUE(fs::exists(dir_.File("logs/kept_target.txt")));

  EXPECT_EQ(Remove(90, "ftp_3.txt"), 1u);  // the FTP log moved on
  EXPECT_FALSE(fs::exists(dir_.File("logs/ftp_2.txt")));
  EXPECT_EQ(Remove(90, "ftp_3.txt"), 0u);
}

TEST_F(LogRetentionTest, AFolderReachedThroughALinkIsLeftAlone) {
  Write("ftp_1.txt", 100);
  Write("ftp_2.txt", 1);
  fs::create_directory_symlink(dir_.File("logs"), dir_.File("linked"));
  EXPECT_EQ(RemoveOldLogs(dir_.File("linked"), {{kFtpLogName, "ftp_2.txt"}}, kNow, 90), 0u);
  EXPECT_EQ(RemoveOldLogs(dir_.File("missing"), {{kFtpLogName, "ftp_2.txt"}}, kNow, 90), 0u);
  EXPECT_TRUE(fs::exists(dir_.File("logs/ftp_1.txt")));
  EXPECT_EQ(RemoveOldLogs(dir_.File("logs") + "/", {{kFtpLogName, "ftp_2.txt"}}, kNow, 90), 1u);
}

TEST(LogRetentionScheduleTest, APassAtOnceThenOnceADayAndAgainAfterANewSetting) {
  testing::ManualClock clock;
  LogRetention retention(clock);
  retention.SetKeepDays(30);
  EXPECT_EQ(retention.KeepDays(), 30u);
  EXPECT_TRUE(retention.TakeDuePass());
  EXPECT_FALSE(retention.TakeDuePass());
  clock.Advance(LogRetention::kIntervalMs - 1);
  EXPECT_FALSE(retention.TakeDuePass());
  clock.Advance(1);
  EXPECT_TRUE(retention.TakeDuePass());
  EXPECT_FALSE(retention.TakeDuePass());
  retention.SetKeepDays(7);
  EXPECT_TRUE(retention.TakeDuePass());
  EXPECT_FALSE(retention.TakeDuePass());
}

}  // namespace
}  // namespace quillon::settings
