#include "ftp/event_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "support/ftp_server_fixture.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace quillon::ftp {
namespace {

using testing::ReadWholeFile;
using testing::WaitUntil;
using testing::WriteWholeFile;

// Writes an executable shell script.
std::string Script(const testing::TempDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir.File(name);
  WriteWholeFile(path, "#!/bin/sh\n" + body);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

// The value of NAME in `env` ("NAME=value" lines); "<unset>" when absent.
std::string Variable(const std::string& env, const std::string& name) {
  const std::string key = "\n" + name + "=";
  const std::string text = "\n" + env;
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return "<unset>";
  const std::size_t begin = at + key.size();
  return text.substr(begin, text.find('\n', begin) - begin);
}

// A runner whose report lines the test collects.
class EventRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runner_.SetReporter([this](const std::string& line) {
      std::lock_guard<std::mutex> guard(lock_);
      lines_.push_back(line);
    });
  }
  bool Reported(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock_);
    for (const std::string& reported : lines_)
      if (reported == line) return true;
    return false;
  }
  std::size_t ReportCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_.size();
  }
  static EventRunner::Facts Login() {
    EventRunner::Facts facts;
    facts.event = EventRunner::Event::kLogin;
    facts.user = "bob";
    return facts;
  }

  testing::TempDir dir_;
  testing::ManualClock clock_;
  EventRunner runner_{clock_};
  std::mutex lock_;
  std::vector<std::string> lines_;
};

TEST_F(EventRunnerTest, ProgramsThatCannotStartOrFailAreReportedAndCleanOnesAreNot) {
  const std::string clean = Script(dir_, "clean.sh", "touch \"$0.ran\"\n");
  const std::string failing = Script(dir_, "failing.sh", "exit 3\n");
  const std::string plain = dir_.File("plain.txt");  // not executable
  WriteWholeFile(plain, "text");
  struct Case {
    std::string program;
    std::string report;  // "" for none
  };
  const Case cases[] = {
      {clean, ""},
      {failing, "#WARNING - EVENT PROGRAM FAILED (on_login: " + failing + " ended with exit code 3)"},
      {dir_.File("missing"), "#WARNING - EVENT PROGRAM NOT STARTED (on_login: " + dir_.File("missing") +
                                 ": cannot start: No such file or directory)"},
      {plain, "#WARNING - EVENT PROGRAM NOT STARTED (on_login: " + plain + ": cannot start: Permission denied)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    EventRunner::Rules rules;
    rules.programs[static_cast<int>(EventRunner::Event::kLogin)] = c.program;
    runner_.SetRules(rules);
    const std::size_t before = ReportCount();
    runner_.Post(Login());
    ASSERT_TRUE(WaitUntil([&] { return runner_.RunningCount() == 0; }, 10'000));
    if (c.report.empty()) {
      EXPECT_EQ(ReportCount(), before);
    } else {
      EXPECT_TRUE(Reported(c.report)) << (lines_.empty() ? "" : lines_.back());
    }
  }
  EXPECT_TRUE(std::filesystem::exists(clean + ".ran"));
  // An event without a program runs nothing and reports nothing.
  const std::size_t before = ReportCount();
  EventRunner::Facts upload = Login();
  upload.event = EventRunner::Event::kUpload;
  runner_.Post(upload);
  EXPECT_EQ(runner_.RunningCount(), 0u);
  EXPECT_EQ(ReportCount(), before);
}

TEST_F(EventRunnerTest, BeyondTheCapEventsAreDroppedNotQueuedAndRootServingAsAnotherUserRunsNothing) {
  const std::string slow = Script(dir_, "slow.sh", "echo x >> \"$0.runs\"\nexec sleep 600\n");
  EventRunner::Rules rules;
  rules.programs[static_cast<int>(EventRunner::Event::kLogin)] = slow;
  rules.max_running = 2;
  runner_.SetRules(rules);
  for (int i = 0; i < 5; ++i) runner_.Post(Login());
  EXPECT_EQ(runner_.RunningCount(), 2u);
  EXPECT_EQ(runner_.DroppedCount(), 3u);
  EXPECT_TRUE(Reported("#WARNING - EVENT DROPPED (on_login: 2 event programs are running)"));
  ASSERT_TRUE(WaitUntil([&] { return ReadWholeFile(slow + ".runs") == "x\nx\n"; }, 10'000));
  // Stopping kills them (no report: nobody's limit ran out).
  const std::size_t before = ReportCount();
  runner_.StopAll();
  EXPECT_EQ(runner_.RunningCount(), 0u);
  EXPECT_EQ(ReportCount(), before);

  rules.refusal = "the server runs as root but serves as nobody";
  runner_.SetRules(rules);
  runner_.Post(Login());
  EXPECT_EQ(runner_.RunningCount(), 0u);
  EXPECT_TRUE(Reported("#WARNING - EVENT PROGRAM NOT RUN (on_login: the server runs as root but serves as nobody)"));
  EXPECT_EQ(ReadWholeFile(slow + ".runs"), "x\nx\n");
}

// Event programs of a real server, with files uploaded by a client.
class ServerEventsTest : public testing::FtpServerFixture {
 protected:
  void Configure(const std::vector<std::pair<std::string, std::string>>& keys) {
    ChangeSettings([&](settings::ServerSettings& s) {
      std::string error;
      // Tests may run as root: the server then serves as root, so it may run them.
      EXPECT_TRUE(s.Extra().Set("run_as_user", "root", &error)) << error;
      for (const auto& [key, value] : keys) EXPECT_TRUE(s.Extra().Set(key, value, &error)) << error;
    });
    port_ = Start();
  }
  testing::TempDir scripts_;
};

TEST_F(ServerEventsTest, AnUploadProgramGetsTheFilesFactsAndNothingOfTheServersEnvironment) {
  platform::SetEnvironmentValue("QUILLON_TEST_SECRET", "leaked");
  const std::string out = scripts_.File("env.txt");
  const std::string program = Script(scripts_, "on_upload.sh", "env > \"" + out + ".tmp\"\nmv \"" + out + ".tmp\" \"" + out + "\"\n");
  Configure({{"on_upload", program}});
  auto client = LoggedIn();
  EXPECT_EQ(Run(*client, "STOR report.txt", "hello world"), testing::kOpenedAndDone);
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(out); }, 10'000));
  const std::string env = ReadWholeFile(out);
  EXPECT_EQ(Variable(env, "QUILLON_EVENT"), "upload");
  EXPECT_EQ(Variable(env, "QUILLON_USER"), "bob");
  EXPECT_EQ(Variable(env, "QUILLON_PATH"), dir_.File("root/report.txt"));
  EXPECT_EQ(Variable(env, "QUILLON_VIRTUAL_PATH"), "/report.txt");
  EXPECT_EQ(Variable(env, "QUILLON_SIZE"), "11");
  EXPECT_EQ(Variable(env, "QUILLON_REMOTE_IP"), "127.0.0.1");
  EXPECT_EQ(Variable(env, "QUILLON_SESSION_ID"), "1");
  EXPECT_EQ(Variable(env, "QUILLON_TEST_SECRET"), "<unset>");
  // A download runs no upload program.
  std::filesystem::remove(out);
  EXPECT_EQ(Run(*client, "RETR report.txt", nullptr), testing::kOpenedAndDone);
  EXPECT_EQ(Run(*client, "STOR second.txt", "abc"), testing::kOpenedAndDone);
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(out); }, 10'000));
  EXPECT_EQ(Variable(ReadWholeFile(out), "QUILLON_VIRTUAL_PATH"), "/second.txt");
}

TEST_F(ServerEventsTest, ASlowProgramIsKilledWithItsGroupAtItsLimitAndUploadsDoNotWaitForIt) {
  // The program leaves a child in its group, then waits for it.
  const std::string program =
      Script(scripts_, "slow.sh", "sleep 600 &\necho $! >> \"$0.sleepers\"\nwait\necho done >> \"$0.sleepers\"\n");
  Configure({{"on_upload", program}, {"event_timeout", "5"}});
  auto client = LoggedIn();
  EXPECT_EQ(Run(*client, "STOR one.txt", "1"), testing::kOpenedAndDone);
  // The next upload is answered while the first program still runs.
  EXPECT_EQ(Run(*client, "STOR two.txt", "2"), testing::kOpenedAndDone);
  EXPECT_EQ(server_->Events().RunningCount(), 2u);
  std::vector<int> sleepers;
  ASSERT_TRUE(WaitUntil([&] {
    sleepers.clear();
    std::istringstream lines(ReadWholeFile(program + ".sleepers"));
    for (int pid = 0; lines >> pid;) sleepers.push_back(pid);
    return sleepers.size() == 2;
  }, 10'000));
  // Nothing is killed before its limit...
  clock_.Advance(4'900);
  EXPECT_FALSE(WaitUntil([&] { return server_->Events().RunningCount() == 0; }, 300));
  // ...and at it, the program and what it started go.
  clock_.Advance(100);
  ASSERT_TRUE(WaitUntil([&] { return server_->Events().RunningCount() == 0; }, 10'000));
  for (int pid : sleepers) EXPECT_TRUE(WaitUntil([&] { return !platform::ProcessAlive(pid); }, 10'000)) << pid;
  EXPECT_EQ(ReadWholeFile(program + ".sleepers").find("done"), std::string::npos);
  const std::string killed = "#WARNING - EVENT PROGRAM KILLED (on_upload: " + program + " ran longer than 5 s)";
  EXPECT_TRUE(WaitUntil([&] { return FtpLog().find(killed) != std::string::npos; }, 5'000)) << FtpLog();
}

TEST_F(ServerEventsTest, LoginAndDeletePostTheirEvents) {
  const std::string out = scripts_.File("events.txt");
  const std::string program = Script(scripts_, "log.sh",
                                     "echo \"$QUILLON_EVENT $QUILLON_VIRTUAL_PATH $QUILLON_SIZE $QUILLON_PATH\" >> \"" +
                                         out + "\"\n");
  WriteWholeFile(dir_.File("root/old.txt"), "12345");
  Configure({{"on_login", program}, {"on_delete", program}});
  auto client = LoggedIn();
  ASSERT_TRUE(WaitUntil([&] { return ReadWholeFile(out) == "login   \n"; }, 10'000)) << ReadWholeFile(out);
  EXPECT_EQ(client->Command("DELE old.txt").substr(0, 4), "250 ");
  ASSERT_TRUE(WaitUntil([&] { return ReadWholeFile(out).find("delete") != std::string::npos; }, 10'000));
  EXPECT_EQ(ReadWholeFile(out), "login   \ndelete /old.txt 5 " + dir_.File("root/old.txt") + "\n");
  // A delete that fails posts nothing.
  ASSERT_TRUE(WaitUntil([&] { return server_->Events().RunningCount() == 0; }, 10'000));
  EXPECT_EQ(client->Command("DELE old.txt").substr(0, 4), "550 ");
  EXPECT_FALSE(WaitUntil([&] { return server_->Events().RunningCount() > 0; }, 300));
  const std::string lines = ReadWholeFile(out);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2);
}

}  // namespace
}  // namespace quillon::ftp
