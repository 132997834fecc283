// A manual-reset event: once set it stays set until reset. Besides the cheap
// IsSet() test it exposes a descriptor that polls readable while the event is
// set, so a thread can wait for its sockets and its stop event in one poll().
//
// Thread-safety: all operations may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace quillon::platform {

// A wait without a time limit.
inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

class Event {
 public:
  // Creates the event non-signalled. IsValid() is false when the system
  // could not provide the descriptor.
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool IsValid() const { return fd_ >= 0; }

  void Set();
  void Reset();
  // No system call: safe to ask on every pass of a hot loop.
  bool IsSet() const { return set_.load(std::memory_order_acquire); }

  // Waits until the event is set or `timeout_ms` passes; true if set.
  bool Wait(std::uint32_t timeout_ms) const;

  // Readable while the event is set. Owned by the event; never close it.
  int PollDescriptor() const { return fd_; }

 private:
  int fd_;
  std::atomic<bool> set_{false};
  std::mutex change_;  // keeps the flag and the descriptor in step
};

}  // namespace quillon::platform
