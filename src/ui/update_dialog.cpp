#include "ui/update_dialog.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/stattext.h>

#include "ui/layout.h"

namespace quillon::ui {

UpdateDialog::UpdateDialog(wxWindow* parent, app::UpdateRun& run, app::Prompter& prompter)
    : wxDialog(parent, wxID_ANY, "Updating"), run_(run), prompter_(prompter) {
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

  [[maybe_unused]] const bool started = run_.Start();
  timer_.Start(kTickMs);
  ShowState();
}

UpdateDialog::~UpdateDialog() { timer_.Stop(); }

void UpdateDialog::ShowState() {
  const app::UpdateRun::Progress progress = run_.Describe();
  const wxString status = wxString::FromUTF8(progress.status);
  if (status_->GetLabel() != status) status_->SetLabel(status);
  if (progress.percent) progress_->SetValue(*progress.percent);
  if (progress.ended) button_->SetLabel("&Close");
}

void UpdateDialog::OnButton() {
  run_.Close(prompter_);
  timer_.Stop();
  EndModal(wxID_CANCEL);
}

}  // namespace quillon::ui
