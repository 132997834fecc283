// Pieces shared by the desktop's sheets: number boxes, text conversion,
// labelled rows, and the IP list box with its Add, Add Range and Delete
// buttons (and Block All for a blocked list).
#pragma once

#include <cstdint>
#include <string>

#include <wx/checkbox.h>
#include <wx/listbox.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/textctrl.h>

#include "app/prompter.h"
#include "app/settings_sheet.h"

namespace quillon::ui {

std::string Utf8(const wxString& text);
wxString Text(const std::string& text);

// An edit box that takes digits only.
wxTextCtrl* NumberBox(wxWindow* parent, std::uint32_t value);
// Its number; an empty box is set to "0" first.
std::uint32_t NumberOf(wxTextCtrl* box);
// A text box of at most `length` characters.
wxTextCtrl* TextBox(wxWindow* parent, const std::string& value, std::size_t length,
                    long style = 0);
// "label  control" as one row of a two-column grid.
void AddRow(wxWindow* parent, wxFlexGridSizer* grid, const char* label, wxWindow* control);
wxFlexGridSizer* Grid();

// One IP list with its switch, as a group box: the list shows `list`, and
// the buttons change it. `kind` names it in the prompts' captions ("Safe"
// or "Blocked").
class IpListBox {
 public:
  IpListBox(wxWindow* parent, wxSizer* into, const char* title, const char* switch_label,
            const char* kind, bool block_all, app::Prompter& prompter);
  void Show(bool enabled, const runtime::IpRangeList& list);
  bool Enabled() const { return switch_->GetValue(); }
  const runtime::IpRangeList& List() const { return list_; }

 private:
  void Refill();
  void Add(bool range);

  wxWindow* parent_;
  const char* kind_;
  app::Prompter& prompter_;
  wxCheckBox* switch_ = nullptr;
  wxListBox* box_ = nullptr;
  runtime::IpRangeList list_;
};

}  // namespace quillon::ui
