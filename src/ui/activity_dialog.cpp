#include "ui/activity_dialog.h"

#include <wx/button.h>
#include <wx/listctrl.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textdlg.h>

#include "ui/form_controls.h"
#include "ui/layout.h"

namespace quillon::ui {

namespace {

constexpr int kColumns = 9;

}  // namespace

ActivityDialog::ActivityDialog(wxWindow* parent, app::ActivityView& view)
    : wxDialog(parent, wxID_ANY, "Current Activity", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      view_(view) {
  list_ = new wxListCtrl(this, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                         wxLC_REPORT | wxLC_SINGLE_SEL);
  const std::pair<const char*, int> columns[] = {
      {"User", 80},   {"IP Address", 76}, {"Connected", 66}, {"Current / Last Action", 124},
      {"Remote File / Directory", 140},   {"Transfer", 280}, {"KB In", 46}, {"KB Out", 50},
      {"Credits", 50}};
  for (int i = 0; i < kColumns; ++i)
    list_->InsertColumn(i, columns[i].first, wxLIST_FORMAT_LEFT, columns[i].second);
  stop_ = new wxButton(this, wxID_ANY, "&Stop Transfer");
  kick_ = new wxButton(this, wxID_ANY, "&Kick User (Disconnect)");
  block_ = new wxButton(this, wxID_ANY, "&Block IP");
  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  buttons->Add(stop_, 0, wxRIGHT, 8);
  buttons->Add(kick_, 0, wxRIGHT, 8);
  buttons->Add(block_, 0, wxRIGHT, 8);
  buttons->AddStretchSpacer();
  buttons->Add(new wxButton(this, wxID_CANCEL, "&Close"));
  warnings_ = new wxStaticText(this, wxID_ANY, "");
  warnings_->SetForegroundColour(*wxRED);
  warnings_->Hide();
  auto* column = new wxBoxSizer(wxVERTICAL);
  column->Add(warnings_, 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 7);
  column->Add(list_, 1, wxEXPAND | wxALL, 7);
  column->Add(buttons, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 7);
  SetSizer(column);
  SetEscapeId(wxID_CANCEL);
  SetSize(DialogUnits(this).Size(490, 185));
  stop_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Act(Action::kStop); });
  kick_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Act(Action::kKick); });
  block_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Act(Action::kBlock); });
  for (auto type : {wxEVT_LIST_ITEM_SELECTED, wxEVT_LIST_ITEM_DESELECTED})
    list_->Bind(type, [this](wxListEvent&) { EnableActions(SelectedSession().has_value()); });
  timer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Refresh(); });
  Refresh();
  CentreOnParent();
}

ActivityDialog::~ActivityDialog() { timer_.Stop(); }

std::optional<std::uint32_t> ActivityDialog::SelectedSession() const {
  const long index = list_->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
  if (index < 0 || static_cast<std::size_t>(index) >= rows_.size()) return std::nullopt;
  return rows_[static_cast<std::size_t>(index)].session_id;
}

void ActivityDialog::Refresh() {
  const std::optional<std::uint32_t> selected = SelectedSession();
  rows_ = view_.Rows();
  while (static_cast<std::size_t>(list_->GetItemCount()) > rows_.size())
    list_->DeleteItem(list_->GetItemCount() - 1);
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    const app::ActivityRow& row = rows_[i];
    const long item = static_cast<long>(i);
    if (item >= list_->GetItemCount()) list_->InsertItem(item, "");
    const std::string* cells[kColumns] = {&row.user,     &row.address, &row.connected,
                                          &row.action,   &row.item,    &row.transfer,
                                          &row.kb_in,    &row.kb_out,  &row.credits};
    for (int column = 0; column < kColumns; ++column)
      if (list_->GetItemText(item, column) != Text(*cells[column]))
        list_->SetItem(item, column, Text(*cells[column]));
  }
  const std::optional<std::size_t> again = app::ActivityView::RowOf(rows_, selected);
  for (long item = 0; item < list_->GetItemCount(); ++item)
    list_->SetItemState(item, again && static_cast<std::size_t>(item) == *again ? wxLIST_STATE_SELECTED : 0,
                        wxLIST_STATE_SELECTED);
  EnableActions(again.has_value());
  std::string warnings;
  for (const std::string& line : view_.AllocationWarnings()) warnings += (warnings.empty() ? "" : "\n") + line;
  if (warnings != warnings_shown_) {
    warnings_shown_ = warnings;
    warnings_->SetLabelText(Text(warnings));
    warnings_->Show(!warnings.empty());
    Layout();
  }
  timer_.StartOnce(app::ActivityView::kRefreshMs);
}

void ActivityDialog::EnableActions(bool selected) {
  for (wxButton* button : {stop_, kick_, block_}) button->Enable(selected);
}

void ActivityDialog::Act(Action action) {
  const std::optional<std::uint32_t> session = SelectedSession();
  if (!session) return;
  const char* caption = action == Action::kStop ? "Stop Users Transfer" : action == Action::kKick ? "Kick User" : "Block IP";
  wxTextEntryDialog prompt(this, "Reason:", caption,
                           Text(action == Action::kStop ? view_.StopReason() : view_.KickReason()));
  prompt.SetMaxLength(app::ActivityView::kReasonLength);
  if (prompt.ShowModal() != wxID_OK) return;
  const std::string reason = Utf8(prompt.GetValue());
  switch (action) {
    case Action::kStop: view_.StopTransfer(*session, reason); return;
    case Action::kKick: view_.Kick(*session, reason); return;
    case Action::kBlock: view_.BlockIp(*session, reason); return;
  }
}

}  // namespace quillon::ui
