// The help dialog (the manual, customer support, the web site, the update)
// and the welcome dialog of the first start.
#pragma once

#include <string>

#include <wx/dialog.h>

#include "app/prompter.h"
#include "platform/clock.h"

namespace quillon::ui {

class HelpDialog final : public wxDialog {
 public:
  // `clock` times the update the dialog can start.
  HelpDialog(wxWindow* parent, std::string program_folder, app::Prompter& prompter,
             platform::Clock& clock);

 private:
  // Opens the local page when installed, else the web page.
  void Open(const char* local, const char* page);

  const std::string folder_;
  app::Prompter& prompter_;
  platform::Clock& clock_;
};

class WelcomeDialog final : public wxDialog {
 public:
  explicit WelcomeDialog(wxWindow* parent);
};

}  // namespace quillon::ui
