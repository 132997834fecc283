// The help dialog (the manual, customer support, the web site, the update)
// and the welcome dialog of the first start.
#pragma once

#include <string>

#include <wx/dialog.h>

#include "app/prompter.h"

namespace quillon::ui {

class HelpDialog final : public wxDialog {
 public:
  HelpDialog(wxWindow* parent, std::string program_folder, app::Prompter& prompter);

 private:
  // Opens the local page when installed, else the web page.
  void Open(const char* local, const char* page);

  const std::string folder_;
  app::Prompter& prompter_;
};

class WelcomeDialog final : public wxDialog {
 public:
  explicit WelcomeDialog(wxWindow* parent);
};

}  // namespace quillon::ui
