// Native threads with a chosen stack size (std::thread cannot set one, and
// ten thousand session threads must fit in memory).
//
// Thread-safety: a NativeThread object is owned by one controlling thread;
// the thread it starts runs independently until joined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon::platform {

class NativeThread {
 public:
  using Entry = void (*)(void* argument);

  NativeThread() = default;
  // REQUIRES: the thread has been joined (or never started).
  ~NativeThread();
  NativeThread(const NativeThread&) = delete;
  NativeThread& operator=(const NativeThread&) = delete;

  // Starts `entry(argument)` on a new thread with `stack_bytes` of stack
  // (0 for the system default). False, with `error` filled, when the system
  // refuses; nothing runs then.
  // REQUIRES: no thread is held.
  [[nodiscard]] bool Start(Entry entry, void* argument, std::size_t stack_bytes,
                           std::string* error);

  // Waits for the thread to end and releases it. No-op when none is held.
  // REQUIRES: not called from the thread itself.
  void Join();

  bool IsHeld() const { return held_; }
  // True when called on the thread this object started.
  bool IsCurrent() const;

 private:
  unsigned long handle_ = 0;  // pthread_t
  bool held_ = false;
};

// Writes a diagnostic line to the process's standard error. Best effort.
void ReportDiagnostic(const std::string& line);

// Text for an errno value, as "<what>: <system message>".
std::string ErrorText(const char* what, int error_number);

}  // namespace quillon::platform
