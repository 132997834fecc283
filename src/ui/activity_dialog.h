// "Current Activity": the sessions, refreshed every second, with the
// selected session's transfer stopped, the session kicked, or kicked and its
// address blocked, with a reason; above them, the warnings about accounts
// near their allocation.
#pragma once

#include <optional>

#include <wx/dialog.h>
#include <wx/timer.h>

#include "app/activity_view.h"

class wxButton;
class wxListCtrl;
class wxStaticText;

namespace quillon::ui {

class ActivityDialog final : public wxDialog {
 public:
  ActivityDialog(wxWindow* parent, app::ActivityView& view);
  ~ActivityDialog() override;

 private:
  void Refresh();
  std::optional<std::uint32_t> SelectedSession() const;
  enum class Action { kStop, kKick, kBlock };
  void Act(Action action);
  void EnableActions(bool selected);

  app::ActivityView& view_;
  wxListCtrl* list_ = nullptr;
  wxButton* stop_ = nullptr;
  wxButton* kick_ = nullptr;
  wxButton* block_ = nullptr;
  wxStaticText* warnings_ = nullptr;
  std::string warnings_shown_;
  std::vector<app::ActivityRow> rows_;
  wxTimer timer_;  // without an owner: its events go to itself
};

}  // namespace quillon::ui
