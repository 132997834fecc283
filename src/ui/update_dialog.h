// "Updating": shows the updater's progress every 500 ms; its one button
// cancels the update, or closes the dialog once the update has ended.
#pragma once

#include <wx/dialog.h>
#include <wx/timer.h>

#include "app/prompter.h"
#include "platform/clock.h"
#include "update/updater.h"

class wxButton;
class wxGauge;
class wxStaticText;

namespace quillon::ui {

class UpdateDialog final : public wxDialog {
 public:
  static constexpr int kTickMs = 500;

  // The update's deadlines are counted by `clock`.
  UpdateDialog(wxWindow* parent, app::Prompter& prompter, platform::Clock& clock);
  ~UpdateDialog() override;

 private:
  void ShowState();
  void OnButton();

  app::Prompter& prompter_;
  update::Updater updater_;
  wxStaticText* status_ = nullptr;
  wxGauge* progress_ = nullptr;
  wxButton* button_ = nullptr;
  wxTimer timer_;  // without an owner: its events go to itself
};

}  // namespace quillon::ui
