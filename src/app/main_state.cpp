#include "app/main_state.h"

#include <optional>

#include "admin/remote_admin_service.h"
#include "app/server_app.h"
#include "control/service_control.h"
#include "control/settings_control.h"
#include "ftp/ftp_server.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "fileutil/file_handle.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"

namespace quillon::app {

namespace {

using Icon = Prompter::Icon;

constexpr std::uint32_t kLoadRetryMs = 100;
constexpr const char* kActivate = "&Activate";
constexpr const char* kDeactivate = "&Deactivate";
constexpr const char* kPaused = "Updates Paused";

constexpr const char* kLoadErrorQuestion =
    "There was an error while trying to load the settings. If you continue loading you may "
    "permantly loose some of your settings.\nDo wish to continue?";
constexpr const char* kSaveWarning =
    "The settings failed to be saved to the hard drive.\nIts recommended that you open the "
    "settings dialog\nand then reclose, repeat until this message is not\ngiven. If this "
    "message continues, you should check the\napplications 'config' folder and ensure all files "
    "within\nare not set to read only.";
constexpr const char* kCloseRetryQuestion =
    "The settings failed to be saved to the hard drive.\nYou should check the applications "
    "'config' folder and ensure \nall files within are not set to read only.\nDo you wish to "
    "retry?";
constexpr const char* kStartServiceQuestion =
    "This action will close Quillon FTP Server and then reload\nit as an NT Service (without "
    "rebooting). At any time you\ncan stop the service and return to normal mode by manually\n"
    "running Quillon FTP Server.\n\nAre you sure you want to continue?";

}  // namespace

MainState::MainState(platform::Clock& clock, const std::string& program_folder,
                     Prompter& prompter, MainView& view, std::function<bool()> service_installed,
                     fileutil::FileWriter* writer)
    : clock_(clock),
      folder_(program_folder),
      prompter_(prompter),
      view_(view),
      service_installed_(std::move(service_installed)),
      server_(std::make_unique<ftp::FtpServer>(clock, program_folder, writer)),
      remote_admin_(std::make_unique<admin::RemoteAdminService>(*server_, clock, program_folder)),
      reload_reader_(program_folder) {}

MainState::MainState(platform::Clock& clock, const std::string& program_folder,
                     Prompter& prompter, MainView& view)
    : MainState(clock, program_folder, prompter, view,
                [] { return ServiceManager(platform::ProgramPath()).Exists(kServiceName); }) {}

MainState::~MainState() {
  control_socket_.reset();
  remote_admin_.reset();
  server_.reset();
}

bool MainState::LoadWithRetry() {
  if (server_->Load()) return true;
  clock_.SleepMs(kLoadRetryMs);
  return server_->Load();
}

bool MainState::Open() {
  const bool loaded = LoadWithRetry();
  for (const std::string& damage : control::ServiceControl(*server_).DamageFoundByLoad())
    platform::ReportDiagnostic("Quillon FTP Server 1.03: " + ftp::DamageWarningLine(damage));
  if (!loaded) {
    const std::string marker = folder_ + "/" + kFirstRunMarker;
    bool first_run = false;
    if (!fileutil::FileExists(marker)) {
      first_run = true;
      fileutil::FileHandle file;
      [[maybe_unused]] const bool created =
          file.Open(marker, fileutil::FileHandle::Mode::kWriteOrCreate, fileutil::FileHandle::kOwnerOnlyFile);
    } else if (!prompter_.Ask(kLoadErrorQuestion, "Warning", Icon::kExclamation)) {
      quit_without_saving_ = true;
      return false;
    }
    // Writes the defaults of whatever failed to load.
    paused_ = true;
    [[maybe_unused]] const bool saved = SaveServer();
    paused_ = false;
    if (first_run) view_.ShowWelcome();
  }
  remote_admin_->LoadLogStartValue();
  StartControlSocket();

  const control::SettingsSnapshot settings = control::SettingsControl(*server_).Read();
  hide_on_load_ = settings.auto_hide;
  if (settings.auto_activate) ToggleActivate();
  RefreshStatus();
  view_.ShowStartServiceButton(service_installed_());
  return true;
}

void MainState::ToggleActivate() {
  control::ServiceControl service(*server_);
  if (service.IsActive()) {
    // Deactivating ends every session: asked first, as the web page does.
    if (!prompter_.Ask(service.DeactivateQuestion(), control::ServiceControl::kDeactivateTitle, Icon::kExclamation))
      return;
    remote_admin_->Stop();
    service.Deactivate();
  } else {
    std::string error;
    if (!service.Activate(&error)) {
      prompter_.Tell(error, "Initialisation Error", Icon::kExclamation);
    } else if (UsesRemoteAdmin()) {
      StartRemoteAdmin();
    }
  }
  RefreshStatus();
}

void MainState::StartControlSocket() {
  // quillon-setup's way to the running desktop: its commands change the
  // accounts and settings the window shows, as the remote admin's pages do.
  // The socket runs one command or reload at a time.
  control_socket_ = std::make_unique<control::ControlService>(
      clock_, *server_, remote_admin_.get(),
      [this](std::string* report) { return ReloadServer(reload_reader_, *server_, remote_admin_.get(), report); });
  std::string error;
  if (!control_socket_->Start(folder_ + "/config/" + control::kControlSocketFile, &error))
    platform::ReportDiagnostic("Quillon FTP Server 1.03: no control socket for quillon-setup (" + error + ")");
}

bool MainState::UsesRemoteAdmin() const {
  return control::SettingsControl(*server_).Read().use_remote_admin;
}

void MainState::StartRemoteAdmin() {
  if (!remote_admin_->Start())
    prompter_.Tell("Unable to activate Remote Admin, this is most likely due to a port conflict.",
                   "Remote Admin Initialisation Error", Icon::kExclamation);
}

void MainState::RefreshStatus() {
  StatusPanel panel;
  if (paused_) {
    panel = {kPaused, kPaused, kPaused, kPaused, kPaused, "", ""};
  } else if (const std::optional<ftp::FtpServer::Status> figures =
                 control::ServiceControl(*server_).Status()) {
    const ftp::FtpServer::Status& status = *figures;
    panel.status = fileutil::FormatText("Activated - Operating on port %d", status.port);
    panel.users = fileutil::FormatText("%u", status.users);
    panel.data_in = fileutil::FormatText("%u KB", status.kb_received);
    panel.data_out = fileutil::FormatText("%u KB", status.kb_sent);
    panel.activate_caption = kDeactivate;
  } else {
    panel = {"Deactivated", "-", "-", "-", "", kActivate, ""};
  }
  panel.notice = NoticeText();
  if (!paused_) panel.remote_admin = RemoteAdminText();
  view_.ShowStatus(panel);
}

std::string MainState::RemoteAdminText() {
  return remote_admin_->IsRunning() ? fileutil::FormatText("%u connections, %u KB sent",
                                                           remote_admin_->ConnectionCount(),
                                                           remote_admin_->KbSent())
                                    : "-";
}

void MainState::PauseUpdates() {
  paused_ = true;
  // The four FTP fields clear; the remote admin's keeps its figures until
  // the next refresh writes "Updates Paused" into all five.
  view_.ShowStatus({"", "", "", "", RemoteAdminText(), "", NoticeText()});
}

std::string MainState::NoticeText() {
  const std::vector<ftp::DamageNotices::Notice> shown = control::ServiceControl(*server_).Notices();
  shown_notice_ = shown.empty() ? 0 : shown.front().number;
  if (shown.empty()) return {};
  return fileutil::FormatText(ftp::DamageNotices::kNoticeFormat, shown.front().text.c_str());
}

void MainState::AcknowledgeNotice() {
  control::ServiceControl(*server_).AcknowledgeNotice(shown_notice_);  // 0 names none
  RefreshStatus();
}

bool MainState::SaveServer() {
  return control::SettingsControl(*server_).Save(remote_admin_->Handler().LogFile().Number());
}

void MainState::WarnUnlessSaved() {
  if (!SaveServer()) prompter_.Tell(kSaveWarning, "Warning", Icon::kExclamation);
}

void MainState::FinishSettings() {
  WarnUnlessSaved();
  view_.ShowStartServiceButton(service_installed_());
  AlignRemoteAdmin();
  paused_ = false;
  RefreshStatus();
}

void MainState::AlignRemoteAdmin() {
  const bool use_remote_admin = UsesRemoteAdmin();
  if (!use_remote_admin && remote_admin_->IsRunning()) {
    remote_admin_->Stop();
  } else if (use_remote_admin && server_->IsActive() && !remote_admin_->IsRunning()) {
    StartRemoteAdmin();
  } else if (remote_admin_->IsRunning() && !remote_admin_->ApplyPortChange()) {
    prompter_.Tell("Unable to re-initalise Remote Admin, this is most likely due to a port "
                   "conflict.",
                   "Remote Admin Re-initialisation Error", Icon::kExclamation);
  }
}

void MainState::SaveAfterDialog() { WarnUnlessSaved(); }

SettingsSheet MainState::Settings() {
  // The program path is read again at each opening, as every use of it
  // by the desktop is: the running program file may have moved since.
  services_.emplace(platform::ProgramPath());
  return SettingsSheet(*server_, *remote_admin_, prompter_, *services_);
}

ActivityView MainState::Activity() { return ActivityView(*server_, prompter_); }

UpdateRun MainState::Update() { return UpdateRun(clock_, UpdateJob(platform::ProgramPath())); }

bool MainState::AskQuit() {
  return prompter_.Ask("Are you sure you want to quit?", "Quit", Icon::kNone);
}

bool MainState::AskStartService() {
  if (!prompter_.Ask(kStartServiceQuestion, "Start NT Service", Icon::kNone)) return false;
  restart_as_service_ = true;
  return true;
}

void MainState::Close() {
  if (shutting_down_) return;
  shutting_down_ = true;
  if (control_socket_) control_socket_->Stop();
  remote_admin_->Stop();
  server_->Deactivate();
  if (quit_without_saving_) return;
  while (!SaveServer() && prompter_.Ask(kCloseRetryQuestion, "Warning", Icon::kExclamation)) {
  }
}

}  // namespace quillon::app
