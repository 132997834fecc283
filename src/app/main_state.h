// The desktop program's main state: it owns the FTP engine and the remote
// admin, loads them when the main window opens, activates and deactivates
// both, fills the status panel once a second, saves after the dialogs that
// change things, and saves when the window closes. The window shows what
// this class decides through MainView and asks its questions through a
// Prompter, so every rule here runs without a display.
//
// Thread-safety: the window's thread only. Settings are read and saved
// through control::SettingsControl, which locks them: FTP sessions read them
// at the same time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/activity_view.h"
#include "app/prompter.h"
#include "app/reload_reader.h"
#include "app/service_manager.h"
#include "app/settings_sheet.h"
#include "app/update_run.h"
#include "control/control_channel.h"
#include "platform/clock.h"

namespace quillon::ftp {
class FtpServer;
}
namespace quillon::admin {
class RemoteAdminService;
}
namespace quillon::fileutil {
class FileWriter;
}

namespace quillon::app {

inline constexpr const char* kProductName = "Quillon FTP Server";
inline constexpr const char* kTrayTip = "Quillon FTP Server 1.03";
inline constexpr const char* kFirstRunMarker = "config/loaded.dta";

// The five status fields, the activate button's caption and the notice.
struct StatusPanel {
  std::string status;
  std::string users;
  std::string data_in;
  std::string data_out;
  std::string remote_admin;
  std::string activate_caption;
  // A damaged file's notice ("" when none), shown with an "Acknowledge"
  // button until the administrator acknowledges it; paused or not.
  std::string notice;
};

// What the main window shows for the state.
class MainView {
 public:
  virtual ~MainView() = default;
  virtual void ShowStatus(const StatusPanel& panel) = 0;
  virtual void ShowStartServiceButton(bool shown) = 0;
  // The welcome dialog, modally.
  virtual void ShowWelcome() = 0;
};

class MainState {
 public:
  // `service_installed` tells whether the background service is installed;
  // `writer` (may be null) replaces the stored files.
  MainState(platform::Clock& clock, const std::string& program_folder, Prompter& prompter,
            MainView& view, std::function<bool()> service_installed,
            fileutil::FileWriter* writer = nullptr);
  // The desktop's: the background service is the running program's.
  MainState(platform::Clock& clock, const std::string& program_folder, Prompter& prompter,
            MainView& view);
  ~MainState();
  MainState(const MainState&) = delete;
  MainState& operator=(const MainState&) = delete;

  // Loads (one silent retry), takes the first-run or load-error path,
  // activates when "Activate on Load" is on and fills the panel. False when
  // the user declined to go on after a load error: the window then closes
  // at once, without the quit question and without saving.
  [[nodiscard]] bool Open();
  // "Hide in Tray on Load", read when the window opened.
  bool HideOnLoad() const { return hide_on_load_; }

  // The activate button: deactivates after asking, or activates the engine
  // and then the remote admin when it is in use.
  void ToggleActivate();
  // The once-a-second refresh of the status panel.
  void RefreshStatus();

  // While a dialog changes the settings: the panel reads "Updates Paused".
  void PauseUpdates();
  // The "Acknowledge" button beside the notice: takes the notice shown off
  // the list (the next one, if any, shows) and refreshes the panel.
  void AcknowledgeNotice();
  // After the settings sheet (OK or Cancel): saves with the warning, shows
  // or hides "Start NT Service", brings the remote admin in line with the
  // settings and resumes the refresh.
  void FinishSettings();
  // After the activity view: saves, with the warning on failure.
  void SaveAfterDialog();

  // The quit question; true when the window may close.
  bool AskQuit();
  // The "Start NT Service" question; true (and the restart noted) when the
  // window is to close and the service start.
  bool AskStartService();
  bool RestartAsService() const { return restart_as_service_; }

  // The window is closing: stops both services and, unless the load-error
  // question was declined, saves, asking to retry while the save fails.
  // Runs once.
  void Close();

  // What the dialogs work on, handed to the windows that show them. The
  // settings sheet installs and removes the service of the running program;
  // it holds the main state's services, so one sheet is open at a time.
  SettingsSheet Settings();
  ActivityView Activity();
  // An update of the running program file (its links resolved) from the
  // configured update server.
  UpdateRun Update();
  const std::string& ProgramFolder() const { return folder_; }

  ftp::FtpServer& Server() { return *server_; }
  admin::RemoteAdminService& RemoteAdmin() { return *remote_admin_; }

 private:
  bool LoadWithRetry();
  // The notice text for the oldest damaged file not yet acknowledged ("" when
  // none); remembers which one it is.
  std::string NoticeText();
  bool SaveServer();
  void WarnUnlessSaved();
  bool UsesRemoteAdmin() const;
  // The remote-admin field: its connections and KB sent, or "-" when it is
  // not running.
  std::string RemoteAdminText();
  void StartControlSocket();
  void StartRemoteAdmin();
  void AlignRemoteAdmin();

  platform::Clock& clock_;
  const std::string folder_;
  Prompter& prompter_;
  MainView& view_;
  const std::function<bool()> service_installed_;
  // The services of the open settings sheet, for the program path as it
  // was when the sheet opened.
  std::optional<ServiceManager> services_;
  std::unique_ptr<ftp::FtpServer> server_;
  std::unique_ptr<admin::RemoteAdminService> remote_admin_;
  // What a setting of quillon.conf made through the control socket reads
  // (the desktop reads the files itself; it never drops privileges).
  ReloadReader reload_reader_;
  // Started once the window has loaded; stopped on close.
  std::unique_ptr<control::ControlService> control_socket_;
  bool shutting_down_ = false;
  bool quit_without_saving_ = false;
  bool paused_ = false;
  bool restart_as_service_ = false;
  bool hide_on_load_ = false;
  std::uint32_t shown_notice_ = 0;  // the number of the notice shown, 0 for none
};

}  // namespace quillon::app
