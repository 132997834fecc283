// One thread with a manual-reset stop event.
//
// Stop() sets the event and joins the thread; threads are never killed, so
// every wait inside a thread body must watch the stop event (see
// StopEvent()) and every loop must test StopRequested() once per pass.
//
// Thread-safety: Start, Stop and IsRunning may be called from any thread.
// Constant after construction: the stop event, the stack size.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/event.h"
#include "platform/thread.h"

namespace quillon::runtime {

class WorkerThread {
 public:
  // How long owners wait for a thread before reporting it as overdue.
  static constexpr std::uint32_t kStopWaitMs = 3'600'000;

  // `stack_bytes` 0 takes the system's default stack.
  explicit WorkerThread(std::size_t stack_bytes = 0);
  // Stops the thread (kStopWaitMs).
  // REQUIRES: a derived class whose ThreadBody uses its own members calls
  // Stop() in its own destructor, before those members are destroyed.
  virtual ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts ThreadBody on a new thread. False if a thread already runs, the
  // stop event is unusable, or the system refuses a thread.
  [[nodiscard]] bool Start();

  // Sets the stop event and waits for the thread to end. A thread that
  // overruns `wait_ms` (when not 0) is reported as a diagnostic and still
  // waited for. Afterwards the stop event is reset, so Start() works again.
  // Called from the thread itself it only sets the event.
  void Stop(std::uint32_t wait_ms);
  // Sets the stop event without waiting; a later Stop() waits and resets it.
  void RequestStop() { stop_event_.Set(); }

  // True once Stop() was asked for (or the stop event is unusable).
  bool StopRequested() const { return !stop_event_.IsValid() || stop_event_.IsSet(); }
  // True while a started thread has not returned from ThreadBody.
  bool IsRunning() const;

  // For polls that must wake when a stop is requested.
  const platform::Event& StopEvent() const { return stop_event_; }
  // Waits up to `timeout_ms` (platform::kWaitForever: no limit) for a stop
  // request or for `wake`; true when a stop was requested.
  bool WaitForStopOr(const platform::Event& wake, std::uint32_t timeout_ms) const;

 protected:
  virtual void ThreadBody() = 0;

 private:
  static void ThreadProcedure(void* self);

  const std::size_t stack_bytes_;
  platform::Event stop_event_;

  mutable std::mutex lock_;
  std::condition_variable exited_changed_;
  platform::NativeThread thread_;  // guarded by lock_
  bool exited_ = true;             // guarded by lock_: ThreadBody has returned
};

}  // namespace quillon::runtime
