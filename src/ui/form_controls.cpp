#include "ui/form_controls.h"

#include <wx/button.h>
#include <wx/msgdlg.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textdlg.h>
#include <wx/valtext.h>

#include "app/settings_sheet.h"

namespace quillon::ui {

std::string Utf8(const wxString& text) { return std::string(text.utf8_str()); }
wxString Text(const std::string& text) { return wxString::FromUTF8(text); }

wxTextCtrl* NumberBox(wxWindow* parent, std::uint32_t value) {
  return new wxTextCtrl(parent, wxID_ANY, std::to_string(value), wxDefaultPosition, wxDefaultSize,
                        0, wxTextValidator(wxFILTER_DIGITS));
}

std::uint32_t NumberOf(wxTextCtrl* box) {
  if (box->IsEmpty()) box->ChangeValue("0");
  return app::SettingsSheet::ReadNumberBox(Utf8(box->GetValue()));
}

wxTextCtrl* TextBox(wxWindow* parent, const std::string& value, std::size_t length, long style) {
  auto* box = new wxTextCtrl(parent, wxID_ANY, Text(value), wxDefaultPosition, wxDefaultSize, style);
  box->SetMaxLength(static_cast<unsigned long>(length));
  return box;
}

wxFlexGridSizer* Grid() {
  auto* grid = new wxFlexGridSizer(2, wxSize(8, 6));
  grid->AddGrowableCol(1);
  return grid;
}

void AddRow(wxWindow* parent, wxFlexGridSizer* grid, const char* label, wxWindow* control) {
  grid->Add(new wxStaticText(parent, wxID_ANY, label), 0, wxALIGN_CENTER_VERTICAL);
  grid->Add(control, 1, wxEXPAND);
}

IpListBox::IpListBox(wxWindow* parent, wxSizer* into, const char* title, const char* switch_label,
                     const char* kind, bool block_all, app::Prompter& prompter)
    : parent_(parent), kind_(kind), prompter_(prompter) {
  auto* group = new wxStaticBoxSizer(wxVERTICAL, parent, title);
  switch_ = new wxCheckBox(group->GetStaticBox(), wxID_ANY, switch_label);
  box_ = new wxListBox(group->GetStaticBox(), wxID_ANY, wxDefaultPosition, wxSize(-1, 90));
  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  auto* add = new wxButton(group->GetStaticBox(), wxID_ANY, "Add");
  auto* add_range = new wxButton(group->GetStaticBox(), wxID_ANY, "Add Range");
  auto* remove = new wxButton(group->GetStaticBox(), wxID_ANY, "Delete");
  for (wxButton* button : {add, add_range, remove}) buttons->Add(button, 0, wxRIGHT, 6);
  add->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Add(false); });
  add_range->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Add(true); });
  remove->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    const int selected = box_->GetSelection();
    if (selected == wxNOT_FOUND) return;
    list_.RemoveAt(static_cast<std::size_t>(selected));
    Refill();
  });
  if (block_all) {
    auto* all = new wxButton(group->GetStaticBox(), wxID_ANY, "Block All");
    buttons->Add(all, 0, wxRIGHT, 6);
    all->Bind(wxEVT_BUTTON, [this, all](wxCommandEvent&) {
      wxMessageDialog ask(all, app::SettingsSheet::BlockAllQuestion(), "Block All", wxYES_NO | wxICON_QUESTION);
      if (ask.ShowModal() != wxID_YES) return;
      app::SettingsSheet::BlockAll(&list_);
      Refill();
    });
  }
  group->Add(switch_, 0, wxALL, 4);
  group->Add(box_, 1, wxEXPAND | wxLEFT | wxRIGHT, 4);
  group->Add(buttons, 0, wxALL, 4);
  into->Add(group, 1, wxEXPAND | wxALL, 6);
}

void IpListBox::Show(bool enabled, const runtime::IpRangeList& list) {
  switch_->SetValue(enabled);
  list_ = list;
  Refill();
}

void IpListBox::Refill() {
  box_->Clear();
  for (std::size_t i = 0; i < list_.Count(); ++i) box_->Append(Text(list_.EntryText(i)));
}

void IpListBox::Add(bool range) {
  const std::string caption = std::string("Add ") + kind_ + (range ? " IP Range" : " IP");
  wxTextEntryDialog lower(parent_, range ? "Lower IP:" : "Single IP:", caption);
  if (lower.ShowModal() != wxID_OK) return;
  std::string upper_text;
  if (range) {
    wxTextEntryDialog upper(parent_, "Upper IP:", caption);
    if (upper.ShowModal() != wxID_OK) return;
    upper_text = Utf8(upper.GetValue());
  }
  if (app::SettingsSheet::AddToList(prompter_, &list_, Utf8(lower.GetValue()),
                                    range ? &upper_text : nullptr))
    Refill();
}

}  // namespace quillon::ui
