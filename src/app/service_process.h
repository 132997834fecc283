// The server running as a background service: the dispatcher, which turns
// SIGTERM, SIGINT and SIGHUP into the stop control; the service main routine,
// which loads, activates and runs the FTP engine, the remote admin and the
// control socket of quillon-setup (control::ControlService) until it is
// told to stop, then saves; and the control handler, which returns
// only once the main routine has saved and cleaned up.
//
// Every step is written to the service log ("#OK - INITIALISED", "#ERROR -
// SETTINGS LOAD FAIL", ...).
//
// Thread-safety: the status is guarded by the status lock, the
// shutdown-complete flag by its own lock; the two are never held together.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/event.h"
#include "runtime/critical_section.h"
#include "settings/log_file.h"

namespace quillon::app {

class ServiceProcess {
 public:
  static constexpr int kSaveAttempts = 5;
  static constexpr std::uint32_t kSaveRetryMs = 2000;
  static constexpr std::uint32_t kShutdownCheckMs = 2000;

  enum class State { kStartPending, kRunning, kStopped };

  ServiceProcess(platform::Clock& clock, std::string program_folder, settings::ServiceLog& log);

  // Runs the service to its end. False when the dispatcher could not start
  // (the stop signals cannot be taken over or the thread not started).
  // REQUIRES: no other thread of the process has started yet.
  [[nodiscard]] bool Dispatch();
  // The service reached the running state at some point.
  bool Started() const { return started_; }
  // The stop saved the settings, accounts and groups (true until a stop
  // gave up saving them).
  bool Saved() const { return saved_; }

 private:
  static void MainEntry(void* self) { static_cast<ServiceProcess*>(self)->ServiceMain(); }
  void ServiceMain();
  void HandleStop();
  // Records a state; `report` tells the service manager (the pid note).
  void SetState(State state, bool report);
  void Report(State state);
  void FinishShutdown();

  platform::Clock& clock_;
  const std::string folder_;
  settings::ServiceLog& log_;

  runtime::CriticalSection status_lock_;
  State state_ = State::kStartPending;  // guarded by status_lock_
  runtime::CriticalSection shutdown_lock_;
  bool shutdown_complete_ = false;      // guarded by shutdown_lock_
  platform::Event state_changed_;       // wakes the main loop
  platform::Event main_done_;           // the main routine has returned
  bool started_ = false;
  bool saved_ = true;
};

}  // namespace quillon::app
