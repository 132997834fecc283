// The help dialog (the manual, customer support, the web site, the update)
// and the welcome dialog of the first start.
#pragma once

#include <wx/dialog.h>

#include "app/main_state.h"
#include "app/prompter.h"

namespace quillon::ui {

class HelpDialog final : public wxDialog {
 public:
  // The pages are looked for in the state's program folder, and the
  // update the dialog can start comes from the state.
  HelpDialog(wxWindow* parent, app::MainState& state, app::Prompter& prompter);

 private:
  // Opens the local page when installed, else the web page.
  void Open(const char* local, const char* page);

  app::MainState& state_;
  app::Prompter& prompter_;
};

class WelcomeDialog final : public wxDialog {
 public:
  explicit WelcomeDialog(wxWindow* parent);
};

}  // namespace quillon::ui
