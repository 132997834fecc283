#include "ui/info_dialogs.h"

#include <wx/button.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "app/desktop_links.h"
#include "ui/artwork.h"
#include "ui/layout.h"
#include "ui/update_dialog.h"

namespace quillon::ui {

HelpDialog::HelpDialog(wxWindow* parent, app::MainState& state, app::Prompter& prompter)
    : wxDialog(parent, wxID_ANY, "Help - Version 1.03"), state_(state), prompter_(prompter) {
  DialogUnits du(this);
  struct Row {
    const char* button;
    const char* text;
    const char* local;
    const char* page;
  };
  const Row rows[] = {
      {"V&iew...", "the manual.", app::kLocalManual, app::kManualPage},
      {"&Email...", "customer support.", app::kLocalContact, app::kContactPage},
      {"&Visit...", "the Quillon FTP Server website.", nullptr, app::kHomePage},
  };
  int y = 10;
  for (const Row& row : rows) {
    auto* button = new wxButton(this, wxID_ANY, row.button, du.At(10, y), du.Size(60, 14));
    new wxStaticText(this, wxID_ANY, row.text, du.At(76, y + 3), du.Size(136, 9));
    button->Bind(wxEVT_BUTTON, [this, row](wxCommandEvent&) { Open(row.local, row.page); });
    y += 22;
  }
  auto* update = new wxButton(this, wxID_ANY, "&Update...", du.At(10, y), du.Size(60, 14));
  new wxStaticText(this, wxID_ANY, "your executable to the latest version.", du.At(76, y + 3),
                   du.Size(136, 9));
  update->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    app::UpdateRun run = state_.Update();
    UpdateDialog dialog(this, run, prompter_);
    dialog.ShowModal();
  });
  new wxButton(this, wxID_CANCEL, "&Close", du.At(152, 186), du.Size(60, 14));
  SetEscapeId(wxID_CANCEL);
  SetClientSize(du.Size(222, 207));
  CentreOnParent();
}

void HelpDialog::Open(const char* local, const char* page) {
  const std::string target = app::HelpTarget(state_.ProgramFolder(), local, page);
  if (!target.empty()) {
    [[maybe_unused]] const bool opened = app::OpenOnDesktop(target);
  }
}

WelcomeDialog::WelcomeDialog(wxWindow* parent) : wxDialog(parent, wxID_ANY, "Welcome") {
  DialogUnits du(this);
  new wxStaticBitmap(this, wxID_ANY, Banner(this, du.Size(208, 38)), du.At(7, 7));
  new wxStaticText(this, wxID_ANY,
                   "Welcome,\n\nThank you for installing Quillon FTP Server, we hope you find "
                   "this software suits all your needs.",
                   du.At(7, 50), du.Size(208, 34));
  new wxTextCtrl(this, wxID_ANY,
                 "This software has been designed to incorporate many advanced features, "
                 "accessible through an 'easy-to-use' interface. However, should you require "
                 "further help in configuration or understanding, detailed information can be "
                 "found in the manual (available online and offline). You can also send an email "
                 "to customer support who will gladly share their expertise.",
                 du.At(7, 88), du.Size(208, 50), wxTE_MULTILINE | wxTE_READONLY | wxTE_WORDWRAP);
  new wxStaticText(this, wxID_ANY, "To start using the software click 'Continue'.", du.At(7, 143),
                   du.Size(140, 9));
  auto* next = new wxButton(this, wxID_OK, "&Continue", du.At(155, 154), du.Size(60, 14));
  next->SetDefault();
  SetClientSize(du.Size(222, 175));
  CentreOnParent();
}

}  // namespace quillon::ui
