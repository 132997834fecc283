#include "runtime/worker_thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "support/wait.h"

namespace quillon::runtime {
namespace {

using testing::WaitUntil;

// Runs until stopped, or once through when `loop` is false.
class CountingThread final : public WorkerThread {
 public:
  explicit CountingThread(bool loop) : loop_(loop) {}
  ~CountingThread() override { Stop(kStopWaitMs); }

  std::atomic<int> runs{0};
  std::atomic<bool> saw_stop{false};

 protected:
  void ThreadBody() override {
    ++runs;
    while (loop_) {
      if (StopEvent().Wait(1000)) {
        saw_stop = StopRequested();
        return;
      }
    }
  }

 private:
  const bool loop_;
};

TEST(WorkerThreadTest, ThreadThatEndsByItselfCanBeStartedAgain) {
  CountingThread thread(false);
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(WaitUntil([&] { return !thread.IsRunning(); }));
  EXPECT_EQ(thread.runs, 1);
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(WaitUntil([&] { return thread.runs == 2 && !thread.IsRunning(); }));
}

TEST(WorkerThreadTest, StartTwiceFailsWhileRunning) {
  CountingThread thread(true);
  ASSERT_TRUE(thread.Start());
  EXPECT_FALSE(thread.Start());
  EXPECT_TRUE(thread.IsRunning());
  thread.Stop(WorkerThread::kStopWaitMs);
  EXPECT_EQ(thread.runs, 1);
}

TEST(WorkerThreadTest, StopWakesTheThreadJoinsItAndResetsTheEvent) {
  CountingThread thread(true);
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(WaitUntil([&] { return thread.runs == 1; }));
  thread.Stop(0);  // no grace period: still joined, never killed
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_TRUE(thread.saw_stop);
  EXPECT_FALSE(thread.StopRequested());
  // Restartable after a stop.
  ASSERT_TRUE(thread.Start());
  EXPECT_TRUE(thread.IsRunning());
}

TEST(WorkerThreadTest, StopWithoutThreadIsHarmless) {
  CountingThread thread(true);
  thread.RequestStop();
  EXPECT_TRUE(thread.StopRequested());
  thread.Stop(10);
  EXPECT_FALSE(thread.StopRequested());
  EXPECT_FALSE(thread.IsRunning());
}

}  // namespace
}  // namespace quillon::runtime
