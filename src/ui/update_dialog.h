// "Updating": shows the update run's progress every 500 ms; its one button
// cancels the update, or closes the dialog once the update has ended.
#pragma once

#include <wx/dialog.h>
#include <wx/timer.h>

#include "app/prompter.h"
#include "app/update_run.h"

class wxButton;
class wxGauge;
class wxStaticText;

namespace quillon::ui {

class UpdateDialog final : public wxDialog {
 public:
  static constexpr int kTickMs = 500;

  // Starts `run`, which outlives the dialog.
  UpdateDialog(wxWindow* parent, app::UpdateRun& run, app::Prompter& prompter);
  ~UpdateDialog() override;

 private:
  void ShowState();
  void OnButton();

  app::UpdateRun& run_;
  app::Prompter& prompter_;
  wxStaticText* status_ = nullptr;
  wxGauge* progress_ = nullptr;
  wxButton* button_ = nullptr;
  wxTimer timer_;  // without an owner: its events go to itself
};

}  // namespace quillon::ui
