#include "platform/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <stdio.h>
#include <utility>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"
#include "support/wait.h"

namespace quillon::platform {
namespace {

using testing::TempDir;
using testing::WaitUntil;

TEST(ProcessTest, RunAndWaitTellsExitCodesFromProgramsThatCouldNotRun) {
  struct Case {
    std::vector<std::string> argv;
    int expected;
  };
  const Case cases[] = {
      {{"true"}, 0},
      {{"sh", "-c", "exit 3"}, 3},
      {{"sh", "-c", "exit 127"}, 127},  // a program's own 127 is its exit code
      {{"sh", "-c", "kill -KILL $$"}, -1},  // killed: no exit code
      {{"quillon-no-such-program"}, -1},
      {{"/nonexistent/folder/program"}, -1},
      {{}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.empty() ? "(empty)" : c.argv.back());
    EXPECT_EQ(RunAndWait(c.argv), c.expected);
  }
}

TEST(ProcessTest, ProgramsAreFoundOnThePath) {
  const std::string sh = FindProgram("sh");
  ASSERT_FALSE(sh.empty());
  EXPECT_EQ(sh.front(), '/');
  EXPECT_EQ(RunAndWait({sh, "-c", "exit 0"}), 0);
  EXPECT_EQ(FindProgram("quillon-no-such-program"), "");
  const std::string self = ProgramPath();
  EXPECT_NE(self.find("platform_tests"), std::string::npos) << self;
  EXPECT_TRUE(ProcessAlive(CurrentProcessId()));
  EXPECT_NE(ProcessCommandLine(CurrentProcessId()).find("platform_tests"), std::string::npos);
}

TEST(ProcessTest, ADetachedProgramRunsOnItsOwnAndEndsOnTerminate) {
  const std::string sleep = FindProgram("sleep");  // the program is named by its path
  ASSERT_FALSE(sleep.empty());
  int pid = 0;
  ASSERT_TRUE(SpawnDetached({sleep, "120"}, &pid));
  ASSERT_GT(pid, 0);
  EXPECT_NE(pid, CurrentProcessId());
  EXPECT_TRUE(ProcessAlive(pid));
  // The pid is the program's own, once it has replaced the forked copy.
  EXPECT_TRUE(WaitUntil([&] { return ProcessCommandLine(pid) == sleep + " 120"; }, 10'000))
      << ProcessCommandLine(pid);
  ASSERT_TRUE(SendTerminate(pid));
  // Not our child: whoever adopted it reaps it, and a zombie counts as ended.
  EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(pid); }, 10'000));
  EXPECT_FALSE(ProcessAlive(0));
  EXPECT_FALSE(ProcessAlive(-1));
  EXPECT_FALSE(SendTerminate(0));  // never the whole process group
  EXPECT_FALSE(SpawnDetached({}, &pid));
}

TEST(ProcessTest, AnInstanceLockIsHeldOnceUntilClosed) {
  TempDir dir;
  std::filesystem::create_directories(dir.File("config"));
  ::unsetenv("QUILLON_LOCK_DIR");  // the program folder's config/ holds the locks
  EXPECT_EQ(InstanceLock::LockFolder(dir.Path()), dir.File("config"));
  EXPECT_EQ(InstanceLock::HolderId(dir.Path(), "instance.lock"), 0);  // no file yet
  InstanceLock first;
  bool held_elsewhere = true;
  ASSERT_TRUE(first.Acquire(dir.Path(), "instance.lock", &held_elsewhere));
  EXPECT_TRUE(first.IsHeld());
  // The system's lock table names the holder without taking the lock.
  EXPECT_EQ(InstanceLock::HolderId(dir.Path(), "instance.lock"), CurrentProcessId());
  EXPECT_EQ(InstanceLock::HolderId(dir.Path(), "other.lock"), 0);

  InstanceLock second;
  EXPECT_FALSE(second.Acquire(dir.Path(), "instance.lock", &held_elsewhere));
  EXPECT_TRUE(held_elsewhere);
  EXPECT_FALSE(second.IsHeld());
  // Another name is another lock.
  InstanceLock other;
  EXPECT_TRUE(other.Acquire(dir.Path(), "other.lock", &held_elsewhere));

  first.Close();
  EXPECT_FALSE(first.IsHeld());
  EXPECT_EQ(InstanceLock::HolderId(dir.Path(), "instance.lock"), 0);
  EXPECT_TRUE(second.Acquire(dir.Path(), "instance.lock", &held_elsewhere));

  // A missing folder is a failure of its own, not a lock held elsewhere.
  InstanceLock lost;
  EXPECT_FALSE(lost.Acquire(dir.File("missing"), "instance.lock", &held_elsewhere));
  EXPECT_FALSE(held_elsewhere);
}

TEST(ProcessTest, StopSignalsTellStopFromReloadAndTheWaitEndsWhenDone) {
  using Received = StopSignals::Received;
  StopSignals signals;
  ASSERT_TRUE(signals.Block());
  Event done;
  for (auto [signal_number, expected] : {std::pair{SIGTERM, Received::kStop}, std::pair{SIGHUP, Received::kReload},
                                         std::pair{SIGINT, Received::kStop}}) {
    SCOPED_TRACE(signal_number);
    ASSERT_EQ(std::raise(signal_number), 0);  // blocked: waits for the wait
    EXPECT_EQ(signals.Wait(done), expected);
  }
  // A signal that came before `done` is still taken first.
  ASSERT_EQ(std::raise(SIGHUP), 0);
  done.Set();
  EXPECT_EQ(signals.Wait(done), Received::kReload);
  EXPECT_EQ(signals.Wait(done), Received::kDone);
}

TEST(LimitedChildTest, RunsWithOnlyTheGivenEnvironmentAndNoDescriptorOfOurs) {
  TempDir dir;
  const std::string out = dir.File("out.txt");
  const std::string script = dir.File("child.sh");
  // A descriptor of ours that is not close-on-exec must not reach the program.
  std::FILE* open_file = std::fopen(dir.File("held.txt").c_str(), "w");
  ASSERT_NE(open_file, nullptr);
  const int held = fileno(open_file);
  {
    std::FILE* file = std::fopen(script.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fprintf(file, "#!/bin/sh\n{ env; test -e /proc/$$/fd/%d && echo HELD; echo out; echo err >&2; } > %s.tmp\n"
                       "mv %s.tmp %s\nexit 7\n", held, out.c_str(), out.c_str(), out.c_str());
    std::fclose(file);
  }
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  LimitedChild child;
  std::string error;
  ASSERT_TRUE(child.Start(script, {"ONE=1", "TWO=two words"}, &error)) << error;
  LimitedChild::End end;
  ASSERT_TRUE(WaitUntil([&] { return child.Wait(100, &end); }, 10'000));
  EXPECT_TRUE(end.exited);
  EXPECT_EQ(end.exit_code, 7);
  std::fclose(open_file);
  const std::string env = testing::ReadWholeFile(out);
  EXPECT_NE(env.find("ONE=1\n"), std::string::npos) << env;
  EXPECT_NE(env.find("TWO=two words\n"), std::string::npos) << env;
  EXPECT_EQ(env.find("HOME="), std::string::npos) << env;
  EXPECT_EQ(env.find("HELD"), std::string::npos) << env;
  EXPECT_EQ(env.find("err"), std::string::npos) << env;  // its errors go to /dev/null

  LimitedChild missing;
  EXPECT_FALSE(missing.Start(dir.File("nothing"), {}, &error));
  EXPECT_EQ(error, "cannot start: No such file or directory");
}

}  // namespace
}  // namespace quillon::platform
