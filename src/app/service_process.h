// The server running as a background service: the dispatcher, which turns
// SIGTERM and SIGINT into the stop control and SIGHUP into a reload of the
// configuration; the service main routine, which loads, activates and runs
// the FTP engine, the remote admin and the control socket of quillon-setup
// (control::ControlService) until it is told to stop, then saves; and the
// control handler, which returns
// only once the main routine has saved and cleaned up.
//
// Every step is written to the service log ("#OK - INITIALISED", "#ERROR -
// SETTINGS LOAD FAIL", ...).
//
// Thread-safety: the status is guarded by the status lock, the
// shutdown-complete flag by its own lock; the two are never held together.
// The serving lock guards what a reload reaches (the server and the remote
// admin while they serve); it is taken before the status lock, never after.
#pragma once

#include <cstdint>
#include <string>

#include "app/reload_reader.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "runtime/critical_section.h"
#include "settings/log_file.h"

namespace quillon::admin {
class RemoteAdminService;
}
namespace quillon::ftp {
class FtpServer;
}

namespace quillon::app {

class ServiceProcess {
 public:
  static constexpr int kSaveAttempts = 5;
  static constexpr std::uint32_t kSaveRetryMs = 2000;
  static constexpr std::uint32_t kShutdownCheckMs = 2000;

  enum class State { kStartPending, kRunning, kStopped };

  // `reader`: where reloads read the configuration.
  ServiceProcess(platform::Clock& clock, std::string program_folder, settings::ServiceLog& log,
                 ReloadReader& reader);

  // Runs the service to its end. False when the dispatcher could not start
  // (the stop signals cannot be taken over or the thread not started).
  // REQUIRES: no other thread of the process has started yet.
  [[nodiscard]] bool Dispatch();
  // The service reached the running state at some point.
  bool Started() const { return started_; }
  // The stop saved the settings, accounts and groups (true until a stop
  // gave up saving them).
  bool Saved() const { return saved_; }
  // Reads config/quillon.conf and the certificate and key again and applies
  // them, whole or not at all, writing "#OK - RELOADED (what changed)" or
  // "#WARNING - RELOAD REFUSED (why)" to the service log; *report gets that
  // line. What SIGHUP does, for any other caller too. May be called from
  // any thread; reloads run one at a time.
  bool Reload(std::string* report);

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
  ReloadReader& reader_;

  runtime::CriticalSection serving_lock_;
  ftp::FtpServer* server_ = nullptr;                 // guarded by serving_lock_, set while serving
  admin::RemoteAdminService* remote_admin_ = nullptr;  // likewise

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
