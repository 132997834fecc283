// "Current Activity": the sessions, refreshed every second, with the
// selected session's transfer stopped or the session kicked, with a reason.
#pragma once

#include <optional>

#include <wx/dialog.h>
#include <wx/timer.h>

#include "app/activity_view.h"

class wxButton;
class wxListCtrl;

namespace quillon::ui {

class ActivityDialog final : public wxDialog {
 public:
  ActivityDialog(wxWindow* parent, app::ActivityView& view);
  ~ActivityDialog() override;

 private:
  void Refresh();
  std::optional<std::uint32_t> SelectedSession() const;
  void Act(bool kick);

  app::ActivityView& view_;
  wxListCtrl* list_ = nullptr;
  wxButton* stop_ = nullptr;
  wxButton* kick_ = nullptr;
  std::vector<app::ActivityRow> rows_;
  wxTimer timer_;  // without an owner: its events go to itself
};

}  // namespace quillon::ui
