// Positions and sizes in dialog units of the window's font, as the window
// layouts are given.
#pragma once

#include <wx/window.h>

namespace quillon::ui {

class DialogUnits {
 public:
  explicit DialogUnits(wxWindow* window) : window_(window) {}
  wxPoint At(int x, int y) const { return window_->ConvertDialogToPixels(wxPoint(x, y)); }
  wxSize Size(int width, int height) const {
    return window_->ConvertDialogToPixels(wxSize(width, height));
  }

 private:
  wxWindow* window_;
};

}  // namespace quillon::ui
