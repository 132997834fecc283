#include "ui/main_window.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/panel.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/taskbar.h>

#include "ui/artwork.h"
#include "ui/activity_dialog.h"
#include "ui/info_dialogs.h"
#include "ui/settings_dialog.h"
#include "ui/layout.h"

namespace quillon::ui {

// The notification-area icon: its tip, and a left double click brings the
// window back.
class TrayIcon final : public wxTaskBarIcon {
 public:
  explicit TrayIcon(MainWindow& window) : window_(window) {
    if (wxTaskBarIcon::IsAvailable()) SetIcon(AppIcon(32), app::kTrayTip);
    Bind(wxEVT_TASKBAR_LEFT_DCLICK, [this](wxTaskBarIconEvent&) { window_.Restore(); });
  }

 private:
  MainWindow& window_;
};

MainWindow::MainWindow(app::Clock& clock, const std::string& program_folder,
                       app::Prompter& prompter)
    : wxFrame(nullptr, wxID_ANY, app::kProductName, wxDefaultPosition, wxDefaultSize,
              wxDEFAULT_FRAME_STYLE & ~(wxRESIZE_BORDER | wxMAXIMIZE_BOX)),
      prompter_(prompter),
      state_(clock, program_folder, prompter, *this) {
  SetIcons(AppIcons());
  panel_ = new wxPanel(this);
  DialogUnits du(panel_);
  new wxStaticBitmap(panel_, wxID_ANY, Banner(panel_, du.Size(184, 34)), du.At(7, 7));

  new wxStaticBox(panel_, wxID_ANY, "", du.At(7, 44), du.Size(184, 75));
  const char* labels[] = {"Status:", "Users:", "Data In:", "Data Out:", "Remote Admin:"};
  for (int row = 0; row < 5; ++row) {
    const int y = 55 + row * 12;
    new wxStaticText(panel_, wxID_ANY, labels[row], du.At(12, y), du.Size(53, 9));
    fields_[row] = new wxStaticText(panel_, wxID_ANY, "", du.At(65, y), du.Size(124, 9),
                                    wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_END);
  }

  activate_ = new wxButton(panel_, wxID_ANY, "&Activate", du.At(196, 7), du.Size(96, 14));
  auto* settings = new wxButton(panel_, wxID_ANY, "&Settings", du.At(196, 24), du.Size(96, 14));
  auto* hide = new wxButton(panel_, wxID_ANY, "Hide in &Tray", du.At(196, 41), du.Size(96, 14));
  start_service_ =
      new wxButton(panel_, wxID_ANY, "Start &NT Service", du.At(196, 58), du.Size(96, 14));
  auto* activity =
      new wxButton(panel_, wxID_ANY, "&View Activity", du.At(196, 75), du.Size(96, 14));
  new wxStaticText(panel_, wxID_ANY, "To view current user activity...", du.At(196, 91),
                   du.Size(100, 9));
  auto* help = new wxButton(panel_, wxID_ANY, "&Help", du.At(196, 105), du.Size(96, 14));
  start_service_->Hide();
  notice_ = new wxStaticText(panel_, wxID_ANY, "", du.At(7, 124), du.Size(230, 42),
                             wxST_NO_AUTORESIZE);
  notice_->SetForegroundColour(wxColour(0xB4, 0x23, 0x18));
  acknowledge_ = new wxButton(panel_, wxID_ANY, "Ac&knowledge", du.At(242, 126), du.Size(50, 14));
  notice_->Hide();
  acknowledge_->Hide();
  acknowledge_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { state_.AcknowledgeNotice(); });

  activate_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { state_.ToggleActivate(); });
  hide->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { HideInTray(); });
  settings->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    state_.PauseUpdates();
    {
      app::SettingsSheet sheet = state_.Settings();
      SettingsDialog dialog(this, sheet, prompter_);
      dialog.ShowModal();
    }
    state_.FinishSettings();
  });
  activity->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    {
      app::ActivityView view = state_.Activity();
      ActivityDialog dialog(this, view);
      dialog.ShowModal();
    }
    state_.SaveAfterDialog();
  });
  start_service_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { StartService(); });
  help->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    HelpDialog dialog(this, state_, prompter_);
    dialog.ShowModal();
  });
  Bind(wxEVT_CLOSE_WINDOW, &MainWindow::OnClose, this);
  Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& event) {
    if (event.GetKeyCode() == WXK_ESCAPE) {
      Close();
    } else {
      event.Skip();
    }
  });
  refresh_timer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { state_.RefreshStatus(); });
  hide_timer_.Bind(wxEVT_TIMER, &MainWindow::OnHideTick, this);

  SetClientSize(du.Size(299, kPlainHeight));
  Centre();
}

MainWindow::~MainWindow() {
  refresh_timer_.Stop();
  hide_timer_.Stop();
}

bool MainWindow::Open() {
  if (!state_.Open()) return false;
  if (state_.HideOnLoad()) hide_timer_.Start(kHideTickMs);
  refresh_timer_.Start(kRefreshMs);
  tray_ = std::make_unique<TrayIcon>(*this);
  return true;
}

void MainWindow::ShowStatus(const app::StatusPanel& panel) {
  const std::string* values[] = {&panel.status, &panel.users, &panel.data_in, &panel.data_out,
                                 &panel.remote_admin};
  for (int row = 0; row < 5; ++row) {
    const wxString text = wxString::FromUTF8(*values[row]);
    if (fields_[row]->GetLabel() != text) fields_[row]->SetLabel(text);
  }
  if (!panel.activate_caption.empty() && activate_->GetLabel() != panel.activate_caption)
    activate_->SetLabel(panel.activate_caption);
  if (panel.notice != notice_text_) {
    notice_text_ = panel.notice;
    notice_->SetLabel(wxString::FromUTF8(notice_text_));
    notice_->Wrap(notice_->GetSize().GetWidth());
  }
  const bool shown = !panel.notice.empty();
  if (notice_->IsShown() != shown) {
    notice_->Show(shown);
    acknowledge_->Show(shown);
    DialogUnits du(panel_);
    SetClientSize(du.Size(299, shown ? kNoticeHeight : kPlainHeight));
  }
}

void MainWindow::ShowStartServiceButton(bool shown) { start_service_->Show(shown); }

void MainWindow::ShowWelcome() {
  WelcomeDialog dialog(IsShown() ? this : nullptr);
  dialog.ShowModal();
}

void MainWindow::Restore() {
  if (IsIconized()) Iconize(false);
  Show();
  Raise();
  state_.RefreshStatus();
}

void MainWindow::HideInTray() {
  if (tray_ != nullptr && tray_->IsIconInstalled()) {
    Hide();
  } else {
    Iconize(true);  // no tray to come back from
  }
}

void MainWindow::OnHideTick(wxTimerEvent&) {
  if (!IsShown()) return;
  hide_timer_.Stop();
  HideInTray();
}

void MainWindow::StartService() {
  if (state_.AskStartService()) Finish();
}

void MainWindow::OnClose(wxCloseEvent& event) {
  if (event.CanVeto() && !finished_ && !state_.AskQuit()) {
    event.Veto();
    return;
  }
  Finish();
}

void MainWindow::Finish() {
  if (finished_) return;
  finished_ = true;
  refresh_timer_.Stop();
  hide_timer_.Stop();
  state_.Close();
  if (tray_ != nullptr) {
    tray_->RemoveIcon();
    tray_.reset();
  }
  Hide();
  if (wxTheApp != nullptr) wxTheApp->ExitMainLoop();
}

}  // namespace quillon::ui
