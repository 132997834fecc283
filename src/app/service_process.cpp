#include "app/service_process.h"

#include <memory>
#include <vector>

#include "admin/remote_admin_service.h"
#include "app/run_as_user.h"
#include "app/service_manager.h"
#include "app/service_tray_window.h"
#include "control/control_channel.h"
#include "control/service_control.h"
#include "control/settings_control.h"
#include "ftp/ftp_server.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "runtime/connection_listener.h"
#include "fileutil/text.h"

namespace quillon::app {

namespace {
using Guard = runtime::CriticalSection::Guard;

std::string UpperCase(std::string text) {
  for (char& ch : text)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - ('a' - 'A'));
  return text;
}
}  // namespace

ServiceProcess::ServiceProcess(platform::Clock& clock, std::string program_folder,
                               settings::ServiceLog& log, ReloadReader& reader)
    : clock_(clock), folder_(std::move(program_folder)), log_(log), reader_(reader) {}

bool ServiceProcess::Dispatch() {
  platform::StopSignals signals;
  if (!signals.Block() || !state_changed_.IsValid() || !main_done_.IsValid()) return false;
  platform::NativeThread main_thread;
  std::string error;
  if (!main_thread.Start(&ServiceProcess::MainEntry, this, 0, &error)) return false;
  for (;;) {
    const platform::StopSignals::Received received = signals.Wait(main_done_);
    if (received == platform::StopSignals::Received::kReload) {
      std::string report;
      [[maybe_unused]] const bool reloaded = Reload(&report);
      continue;
    }
    if (received == platform::StopSignals::Received::kStop || !main_done_.IsSet()) HandleStop();
    break;
  }
  main_thread.Join();
  return true;
}

bool ServiceProcess::Reload(std::string* report) {
  Guard guard(serving_lock_);
  bool reloaded = false;
  if (server_ == nullptr) {
    *report = "#WARNING - RELOAD REFUSED (the service is not serving)";
  } else {
    reloaded = ReloadServer(reader_, *server_, remote_admin_, report);
  }
  if (reloaded) {
    log_.WriteServiceLine(*report);
  } else {
    log_.WriteWarningLine(*report);
  }
  return reloaded;
}

void ServiceProcess::HandleStop() {
  {
    Guard guard(status_lock_);
    state_ = State::kStopped;  // reported once the main routine is done
  }
  state_changed_.Set();
  for (;;) {
    main_done_.Wait(kShutdownCheckMs);
    Guard guard(shutdown_lock_);
    if (shutdown_complete_) break;
  }
  Report(State::kStopped);
}

void ServiceProcess::SetState(State state, bool report) {
  Guard guard(status_lock_);
  state_ = state;
  if (report) Report(state);
}

void ServiceProcess::Report(State state) {
  const int pid = platform::CurrentProcessId();
  if (state == State::kRunning) {
    ServiceManager::NoteRunning(kServiceName, pid);
  } else if (state == State::kStopped) {
    ServiceManager::NoteEnded(kServiceName, pid);
  }
}

void ServiceProcess::FinishShutdown() {
  {
    Guard guard(shutdown_lock_);
    shutdown_complete_ = true;
  }
  main_done_.Set();
}

void ServiceProcess::ServiceMain() {
  auto server = std::make_unique<ftp::FtpServer>(clock_, folder_);
  // An event program that fails is the service's news, not a session's.
  server->Events().SetReporter([this](const std::string& line) { log_.WriteWarningLine(line); });
  auto remote_admin = std::make_unique<admin::RemoteAdminService>(*server, clock_, folder_);
  std::unique_ptr<control::ControlService> control_socket;
  // A start that fails ends with the state stopped and one line naming why.
  auto fail = [&](const std::string& line) {
    log_.WriteFailureLine(line);
    SetState(State::kStopped, true);
    control_socket.reset();
    remote_admin.reset();
    server.reset();
    FinishShutdown();
  };

  const bool loaded = server->Load();
  for (const std::string& damage : control::ServiceControl(*server).DamageFoundByLoad())
    log_.WriteWarningLine(ftp::DamageWarningLine(damage));
  if (!loaded) return fail("#ERROR - SETTINGS LOAD FAIL");
  remote_admin->LoadLogStartValue();
  // Root loads the certificate and key at activation: only files it alone can change.
  const control::SettingsControl::ServingUser serving = control::SettingsControl(*server).ServiceUser();
  const std::string& run_as = serving.user;
  std::string error;
  if (!CheckFilesRootReads(serving.root_reads, run_as, &error)) return fail(error);
  // Peers wait in the backlog until the process serves as its user: a
  // session begun before would write its log and the accounts as root.
  runtime::ConnectionListener::HoldAccepts();
  struct Release {
    ~Release() { runtime::ConnectionListener::ReleaseAccepts(); }
  } release_at_any_end;
  if (!control::ServiceControl(*server).Activate(&error)) return fail("#ERROR - INITIALISATION FAILED (" + UpperCase(error) + ")");
  const control::SettingsSnapshot settings = control::SettingsControl(*server).Read();
  const bool show_icon = settings.show_service_icon;
  if (settings.use_remote_admin && !remote_admin->Start()) {
    server->Deactivate();
    const std::string refused = remote_admin->PortPermissionReason();
    return fail(refused.empty()
                    ? "#ERROR - INITIALISATION FAILED (Remote Admin failed to initalise, possible port conflict)"
                    : "#ERROR - INITIALISATION FAILED (Remote Admin failed to initalise (" + refused + "))");
  }
  // quillon-setup's way to the live server, made while still root so its
  // file is root's: only root and the serving user are answered. A setting
  // of quillon.conf reaches the server as the reload SIGHUP also starts.
  control_socket = std::make_unique<control::ControlService>(
      clock_, *server, remote_admin.get(), [this](std::string* report) { return Reload(report); });
  if (!control_socket->Start(folder_ + "/config/" + control::kControlSocketFile, &error))
    log_.WriteWarningLine("#WARNING - NO CONTROL SOCKET (" + error + ")");
  // The ports are open: a server started as root serves as its user from here on.
  if (!ServeAsUser(folder_, run_as, &error)) {
    remote_admin->Stop();
    server->Deactivate();
    return fail("#ERROR - UNABLE TO RUN AS USER " + run_as + " (" + error + ")");
  }
  runtime::ConnectionListener::ReleaseAccepts();
  log_.WriteServiceLine("#OK - INITIALISED");
  started_ = true;
  {
    Guard guard(serving_lock_);
    server_ = server.get();
    remote_admin_ = remote_admin.get();
  }
  {
    // A stop that came while starting is kept: the loop below then ends at once.
    Guard guard(status_lock_);
    if (state_ == State::kStartPending) {
      state_ = State::kRunning;
      Report(state_);
    }
  }

  ServiceTrayWindow window(!show_icon);
  for (;;) {
    {
      Guard guard(status_lock_);
      if (state_ != State::kRunning) break;
    }
    if (!window.Exists()) {
      clock_.SleepMs(2);
      window.Create();
      continue;
    }
    // A service has no notification area here: the window's icon can never
    // be shown, so the loop has nothing to tick for and waits for the stop.
    state_changed_.Wait(platform::kWaitForever);
  }

  {
    // A reload under way ends first; none begins after.
    Guard guard(serving_lock_);
    server_ = nullptr;
    remote_admin_ = nullptr;
  }
  control_socket->Stop();
  remote_admin->Stop();
  server->Deactivate();
  remote_admin->StoreLogStartValue();
  std::string unsaved;
  for (int attempt = 1; !server->Save(&unsaved); ++attempt) {
    log_.WriteServiceLine(fileutil::FormatText("#ERROR - UNABLE TO SAVE SETTINGS (ATTEMPT %d)", attempt));
    if (attempt == kSaveAttempts) {
      // What was changed since the last save is lost: the process ends with
      // a failure, and whoever stopped it reads why.
      log_.WriteFailureLine("#ERROR - SETTINGS NOT SAVED (" + unsaved +
                            " could not be written; the copy saved before is kept)");
      saved_ = false;
      break;
    }
    clock_.SleepMs(kSaveRetryMs);
  }
  window.Destroy();
  log_.WriteServiceLine("#OK - DEINITIALISED");
  {
    Guard guard(status_lock_);
    if (state_ == State::kRunning) {
      state_ = State::kStopped;
      Report(state_);
    }
  }
  remote_admin.reset();
  server.reset();
  FinishShutdown();
}

}  // namespace quillon::app
