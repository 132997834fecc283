#include "ui/update_dialog.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/stattext.h>

#include "app/server_app.h"
#include "platform/process.h"
#include "ui/layout.h"

namespace quillon::ui {

UpdateDialog::UpdateDialog(wxWindow* parent, app::Prompter& prompter, platform::Clock& clock)
    : wxDialog(parent, wxID_ANY, "Updating"), prompter_(prompter), updater_(clock) {
  DialogUnits du(this);
  status_ = new wxStaticText(this, wxID_ANY, "", du.At(7, 7), du.Size(206, 9),
                             wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_END);
  progress_ = new wxGauge(this, wxID_ANY, 100, du.At(7, 20), du.Size(206, 10));
  button_ = new wxButton(this, wxID_CANCEL, "&Cancel", du.At(153, 37), du.Size(60, 14));
  button_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnButton(); });
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { OnButton(); });
  timer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { ShowState(); });
  SetEscapeId(wxID_CANCEL);
  SetClientSize(du.Size(220, 58));
  CentreOnParent();

  // The program file is the running executable, its links resolved.
  [[maybe_unused]] const bool started =
      updater_.StartUpdate(app::UpdateJob(platform::ProgramPath()));
  timer_.Start(kTickMs);
  ShowState();
}

UpdateDialog::~UpdateDialog() {
  timer_.Stop();
  updater_.StopUpdate();
}

void UpdateDialog::ShowState() {
  const update::UpdateProgress progress = update::DescribeUpdate(
      updater_.GetState(), updater_.BytesReceived(), updater_.ContentLength());
  const wxString status = wxString::FromUTF8(progress.status);
  if (status_->GetLabel() != status) status_->SetLabel(status);
  if (progress.percent) progress_->SetValue(*progress.percent);
  if (progress.ended) button_->SetLabel("&Close");
}

void UpdateDialog::OnButton() {
  if (updater_.GetState() == update::Updater::kInstalled) {
    prompter_.Tell("To finish the update process, please close Quillon FTP Server\nand reload.",
                   "Update Complete", app::Prompter::Icon::kNone);
  } else {
    updater_.StopUpdate();
  }
  timer_.Stop();
  EndModal(wxID_CANCEL);
}

}  // namespace quillon::ui
