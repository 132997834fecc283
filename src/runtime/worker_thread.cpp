#include "runtime/worker_thread.h"

#include "platform/net.h"

#include <chrono>
#include <string>

namespace quillon::runtime {

WorkerThread::WorkerThread(std::size_t stack_bytes) : stack_bytes_(stack_bytes) {}

WorkerThread::~WorkerThread() { Stop(kStopWaitMs); }

bool WorkerThread::Start() {
  if (!stop_event_.IsValid()) return false;
  std::unique_lock<std::mutex> guard(lock_);
  if (thread_.IsHeld()) {
    if (!exited_) return false;
    // The previous thread ended by itself; release it before starting anew.
    thread_.Join();
  }
  exited_ = false;
  std::string error;
  if (!thread_.Start(&WorkerThread::ThreadProcedure, this, stack_bytes_, &error)) {
    exited_ = true;
    platform::ReportDiagnostic("Unable to start a thread: " + error);
    return false;
  }
  return true;
}

void WorkerThread::Stop(std::uint32_t wait_ms) {
  std::unique_lock<std::mutex> guard(lock_);
  if (!thread_.IsHeld()) {
    stop_event_.Reset();
    return;
  }
  stop_event_.Set();
  if (thread_.IsCurrent()) return;  // a thread cannot wait for itself
  if (!exited_changed_.wait_for(guard, std::chrono::milliseconds(wait_ms),
                                [this] { return exited_; })) {
    if (wait_ms != 0) {
      platform::ReportDiagnostic("A thread did not stop within " + std::to_string(wait_ms) +
                                 " ms; still waiting for it");
    }
    exited_changed_.wait(guard, [this] { return exited_; });
  }
  thread_.Join();
  stop_event_.Reset();
}

bool WorkerThread::IsRunning() const {
  std::lock_guard<std::mutex> guard(lock_);
  return thread_.IsHeld() && !exited_;
}

void WorkerThread::ThreadProcedure(void* self) {
  auto* worker = static_cast<WorkerThread*>(self);
  worker->ThreadBody();
  std::lock_guard<std::mutex> guard(worker->lock_);
  worker->exited_ = true;
  worker->exited_changed_.notify_all();
}

bool WorkerThread::WaitForStopOr(const platform::Event& wake, std::uint32_t timeout_ms) const {
  platform::PollItem items[2];
  items[0].descriptor = stop_event_.PollDescriptor();
  items[1].descriptor = wake.PollDescriptor();
  items[0].want_read = items[1].want_read = true;
  platform::Poll(items, 2, timeout_ms);
  return StopRequested();
}

}  // namespace quillon::runtime
