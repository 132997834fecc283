// The desktop program's main window: the banner, the status panel that the
// main state refreshes every second (with the notice of a damaged file and
// its "Acknowledge" button while there is one), the activate toggle and the
// buttons that lead to everything else, and the tray icon. Closing it (the title
// bar's close or Escape) asks the quit question; the main state then saves.
// Where the desktop has no tray, "Hide in Tray" minimises the window
// instead, so it never disappears without a way back.
#pragma once

#include <memory>
#include <string>

#include <wx/frame.h>
#include <wx/timer.h>

#include "app/desktop_shell.h"
#include "app/main_state.h"

class wxButton;
class wxPanel;
class wxStaticText;

namespace quillon::ui {

class TrayIcon;

class MainWindow final : public wxFrame, public app::MainView {
 public:
  static constexpr int kRefreshMs = 1000;
  static constexpr int kHideTickMs = 50;
  // Client heights in dialog units, without and with a notice shown.
  static constexpr int kPlainHeight = 126;
  static constexpr int kNoticeHeight = 170;

  MainWindow(app::Clock& clock, const std::string& program_folder, app::Prompter& prompter);
  ~MainWindow() override;

  // Loads and activates as the main state says; false when the window is
  // to close at once (the load-error question was declined).
  bool Open();
  // The window closed; the main state has saved.
  bool Finished() const { return finished_; }
  bool RestartAsService() const { return state_.RestartAsService(); }
  // Closes without the quit question (the load-error path).
  void Finish();

  void ShowStatus(const app::StatusPanel& panel) override;
  void ShowStartServiceButton(bool shown) override;
  void ShowWelcome() override;

  // Shows the window again (the tray icon's double click).
  void Restore();

 private:
  void OnClose(wxCloseEvent& event);
  void OnHideTick(wxTimerEvent& event);
  void HideInTray();
  void StartService();

  app::Prompter& prompter_;
  app::MainState state_;
  wxPanel* panel_ = nullptr;
  wxStaticText* fields_[5] = {};
  wxButton* activate_ = nullptr;
  wxButton* start_service_ = nullptr;
  // A damaged file's notice and its button, below the rest while shown.
  wxStaticText* notice_ = nullptr;
  wxButton* acknowledge_ = nullptr;
  std::string notice_text_;  // the notice shown, unwrapped
  // Timers without an owner send their events to themselves.
  wxTimer refresh_timer_;
  wxTimer hide_timer_;
  std::unique_ptr<TrayIcon> tray_;
  bool finished_ = false;
};

}  // namespace quillon::ui
