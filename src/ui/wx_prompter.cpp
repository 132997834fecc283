#include "ui/wx_prompter.h"

#include <wx/app.h>
#include <wx/msgdlg.h>

namespace quillon::ui {

namespace {

long IconStyle(app::Prompter::Icon icon) {
  switch (icon) {
    case app::Prompter::Icon::kExclamation:
      return wxICON_EXCLAMATION;
    case app::Prompter::Icon::kInformation:
      return wxICON_INFORMATION;
    case app::Prompter::Icon::kNone:
      break;
  }
  return wxICON_NONE;
}

int Show(const std::string& text, const std::string& caption, long style) {
  wxWindow* parent = wxTheApp != nullptr ? wxTheApp->GetTopWindow() : nullptr;
  if (parent != nullptr && !parent->IsShown()) parent = nullptr;
  wxMessageDialog dialog(parent, wxString::FromUTF8(text), wxString::FromUTF8(caption),
                         style | wxCENTRE);
  return dialog.ShowModal();
}

}  // namespace

void WxPrompter::Tell(const std::string& text, const std::string& caption, Icon icon) {
  Show(text, caption, wxOK | IconStyle(icon));
}

bool WxPrompter::Ask(const std::string& text, const std::string& caption, Icon icon) {
  return Show(text, caption, wxYES_NO | IconStyle(icon)) == wxID_YES;
}

}  // namespace quillon::ui
