// The program's artwork: the application icon and the banner of the main
// and welcome windows, drawn from the SVG files compiled in.
#pragma once

#include <wx/bitmap.h>
#include <wx/iconbndl.h>

class wxWindow;

namespace quillon::ui {

// The application icon at the sizes window managers and trays ask for.
wxIconBundle AppIcons();
wxIcon AppIcon(int size);
// The banner for `window`, `size` in pixels, with the product's name and
// version written over it in the window's font.
wxBitmap Banner(wxWindow* window, const wxSize& size);

}  // namespace quillon::ui
