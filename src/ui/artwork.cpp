#include "ui/artwork.h"

#include <wx/bmpbndl.h>
#include <wx/dcmemory.h>
#include <wx/window.h>

#include "ui/art_data.h"

namespace quillon::ui {

namespace {
wxBitmapBundle IconBundle() {
  return wxBitmapBundle::FromSVG(kIconSvg, wxSize(64, 64));
}
}  // namespace

wxIcon AppIcon(int size) {
  wxIcon icon;
  icon.CopyFromBitmap(IconBundle().GetBitmap(wxSize(size, size)));
  return icon;
}

wxIconBundle AppIcons() {
  wxIconBundle icons;
  for (int size : {16, 24, 32, 48, 64, 128}) icons.AddIcon(AppIcon(size));
  return icons;
}

wxBitmap Banner(wxWindow* window, const wxSize& size) {
  wxBitmap banner = wxBitmapBundle::FromSVG(kBannerSvg, wxSize(360, 66)).GetBitmap(size);
  wxMemoryDC dc(banner);
  wxFont title = window->GetFont();
  title.SetPointSize(title.GetPointSize() + 5);
  title.MakeBold();
  dc.SetFont(title);
  dc.SetTextForeground(*wxWHITE);
  const int left = size.GetWidth() * 68 / 360;  // right of the banner's icon
  const wxSize title_size = dc.GetTextExtent("Quillon FTP Server");
  const int top = (size.GetHeight() - title_size.GetHeight()) / 2 - size.GetHeight() / 10;
  dc.DrawText("Quillon FTP Server", left, top);
  wxFont small = window->GetFont();
  dc.SetFont(small);
  dc.SetTextForeground(wxColour(0xdd, 0xee, 0xf5));
  dc.DrawText("Version 1.03", left + 2, top + title_size.GetHeight());
  dc.SelectObject(wxNullBitmap);
  return banner;
}

}  // namespace quillon::ui
