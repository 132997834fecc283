#include "settings/log_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::settings {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

// Sat, 05 Dec 2026 04:07:09 (tests run with TZ=UTC, so local time is UTC).
constexpr std::int64_t kSaturdayNs = 1796443629LL * 1'000'000'000;
// Midnight, Fri, 01 Jan 2027.
constexpr std::int64_t kNewYearNs = 1798761600LL * 1'000'000'000;

class LogFileTest : public ::testing::Test {
 protected:
  testing::ManualClock clock_{1000, kSaturdayNs};
  TempDir dir_;
};

TEST_F(LogFileTest, LinesCarryTheLocalTimeAndText) {
  LogFile log(clock_);
  log.SetPrefix(dir_.File("ftp_"));
  EXPECT_EQ(log.CurrentPath(), dir_.File("ftp_0.txt"));
  ASSERT_TRUE(log.WriteLine("127.0.0.1 -> bob -> Logged in"));
  clock_.SetWallTimeNs(kNewYearNs);
  ASSERT_TRUE(log.WriteLine("second"));
  EXPECT_EQ(ReadWholeFile(dir_.File("ftp_0.txt")),
            "Sat, 05 Dec 2026 04:07:09 -> 127.0.0.1 -> bob -> Logged in\r\n"
            "Fri, 01 Jan 2027 00:00:00 -> second\r\n");
}

TEST_F(LogFileTest, ControlBytesAreWrittenAsEscapes) {
  LogFile log(clock_);
  log.SetPrefix(dir_.File("ftp_"));
  ASSERT_TRUE(log.WriteLine("a\nSat, 05 Dec 2026 -> forged\r\x01\x7F\t\xE9\\x0A"));
  EXPECT_EQ(ReadWholeFile(dir_.File("ftp_0.txt")),
            "Sat, 05 Dec 2026 04:07:09 -> a\\x0ASat, 05 Dec 2026 -> forged\\x0D\\x01\\x7F\\x09\xE9\\x0A\r\n");
  ServiceLog service(clock_, dir_.File("servicelog.txt"));
  service.WriteServiceLine(std::string("#OK - \0x", 8));
  EXPECT_EQ(ReadWholeFile(dir_.File("servicelog.txt")), "Sat, 05 Dec 2026 04:07:09 -> #OK - \\x00x\r\n");
}

TEST_F(LogFileTest, CapacitiesApplyBelowTheFolderNotToIt) {
  // A program folder of 230 characters.
  const std::string folder = dir_.Path() + "/" + std::string(229 - dir_.Path().size(), 'p');
  ASSERT_EQ(folder.size(), 230u);
  std::filesystem::create_directories(folder + "/logs");
  std::filesystem::create_directories(folder + "/accountlogs");
  LogFile ftp(clock_);
  ftp.SetPrefix(folder, "logs/ftp_");
  ftp.SetNumber(12);
  EXPECT_EQ(ftp.CurrentPath(), folder + "/logs/ftp_12.txt");
  ASSERT_TRUE(ftp.WriteLine("kept"));
  EXPECT_TRUE(std::filesystem::exists(folder + "/logs/ftp_12.txt"));

  // Two long account names that share their first 30 characters keep two files.
  const std::string common(30, 'n');
  LogFile first(clock_), second(clock_);
  first.SetFixedPath(folder + "/accountlogs", common + "-first.txt");
  second.SetFixedPath(folder + "/accountlogs", common + "-second.txt");
  ASSERT_TRUE(first.WriteLine("one"));
  ASSERT_TRUE(second.WriteLine("two"));
  EXPECT_NE(ReadWholeFile(folder + "/accountlogs/" + common + "-first.txt").find("one"), std::string::npos);
  EXPECT_NE(ReadWholeFile(folder + "/accountlogs/" + common + "-second.txt").find("two"), std::string::npos);
  EXPECT_EQ(std::filesystem::status(folder + "/logs/ftp_12.txt").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// A numbered log moves on past every file over its limit (a file of exactly
// the limit still takes the next line) and leaves the full ones as they are.
TEST_F(LogFileTest, NumberedLogMovesOnPastEveryFullFile) {
  struct Case {
    const char* prefix;
    std::uint32_t number;
    std::uint64_t limit;
    std::vector<std::size_t> sizes;  // of the files from `number` on
    std::uint32_t lands_in;
  } cases[] = {
      {"over_", 3, LogFile::kDefaultSizeLimit, {51201}, 4},
      {"two_full_", 3, 51200, {51201, 60000}, 5},
      {"exact_", 0, 100, {100}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    const auto file = [&](std::uint32_t n) { return dir_.File(c.prefix + std::to_string(n) + ".txt"); };
    for (std::size_t i = 0; i < c.sizes.size(); ++i)
      WriteWholeFile(file(c.number + i), std::string(c.sizes[i], 'x'));
    LogFile log(clock_, c.number, c.limit);
    log.SetPrefix(dir_.File(c.prefix));
    ASSERT_TRUE(log.WriteLine("the line"));
    EXPECT_EQ(log.Number(), c.lands_in);
    EXPECT_NE(ReadWholeFile(file(c.lands_in)).find("the line"), std::string::npos);
    for (std::size_t i = 0; c.number + i < c.lands_in; ++i)
      EXPECT_EQ(ReadWholeFile(file(c.number + i)).size(), c.sizes[i]);
  }
}

TEST_F(LogFileTest, AccountLogNeverRollsOverAndIsOwnerOnly) {
  LogFile log(clock_, 0, 100);
  const std::string path = dir_.File("bob.txt");
  log.SetFixedPath(path);
  WriteWholeFile(path, std::string(5000, 'x'));
  std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                         std::filesystem::perms::owner_write);
  ASSERT_TRUE(log.WriteLine("still here"));
  EXPECT_EQ(log.Number(), 0u);
  EXPECT_GT(ReadWholeFile(path).size(), 5000u);

  LogFile fresh(clock_);
  fresh.SetFixedPath(dir_.File("alice.txt"));
  ASSERT_TRUE(fresh.WriteLine("hello"));
  EXPECT_EQ(std::filesystem::status(dir_.File("alice.txt")).permissions() &
                std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(LogFileTest, FailuresAreReportedAndCreateNothing) {
  LogFile unset(clock_);
  EXPECT_FALSE(unset.WriteLine("nowhere"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Path()));

  LogFile missing_folder(clock_);
  missing_folder.SetPrefix(dir_.File("no/such/folder/ftp_"));
  EXPECT_FALSE(missing_folder.WriteLine("lost"));

  if (std::filesystem::exists("/dev/full")) {
    LogFile full(clock_);
    full.SetFixedPath("/dev/full");
    EXPECT_FALSE(full.WriteLine("no room"));
  }
}

TEST_F(LogFileTest, LinesFromManyThreadsNeverInterleave) {
  LogFile log(clock_);
  log.SetPrefix(dir_.File("ftp_"));
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&log, t] {
      for (int i = 0; i < 50; ++i)
        EXPECT_TRUE(log.WriteLine("writer " + std::to_string(t) + std::string(200, 'a' + t)));
    });
  }
  for (auto& writer : writers) writer.join();
  const std::string text = ReadWholeFile(dir_.File("ftp_0.txt"));
  std::size_t lines = 0;
  for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    const std::string line = text.substr(at, end - at);
    const char mark = line[line.size() - 1];
    EXPECT_EQ(line.substr(line.size() - 200), std::string(200, mark));
    ++lines;
  }
  EXPECT_EQ(lines, 200u);
}

TEST_F(LogFileTest, ServiceLogAppendsWithoutLimit) {
  ServiceLog log(clock_, dir_.File("servicelog.txt"));
  log.WriteServiceLine("#OK - INITIALISED");
  log.WriteServiceLine("#OK - DEINITIALISED");
  EXPECT_EQ(ReadWholeFile(dir_.File("servicelog.txt")),
            "Sat, 05 Dec 2026 04:07:09 -> #OK - INITIALISED\r\n"
            "Sat, 05 Dec 2026 04:07:09 -> #OK - DEINITIALISED\r\n");
  ServiceLog nowhere(clock_, dir_.File("missing/servicelog.txt"));
  nowhere.WriteServiceLine("dropped");  // no folder: silently skipped
  EXPECT_FALSE(std::filesystem::exists(dir_.File("missing")));
}

}  // namespace
}  // namespace quillon::settings
