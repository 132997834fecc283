#include "app/service_tray_window.h"

namespace quillon::app {

bool ServiceTrayWindow::Create() {
  exists_ = true;
  return true;
}

void ServiceTrayWindow::OnTimer() {
  if (!exists_ || icon_shown_ || icon_removed_for_good_) return;
  icon_shown_ = AddIcon();
}

bool ServiceTrayWindow::AddIcon() {
  ++add_attempts_;
  return false;  // no notification area for a background service
}

void ServiceTrayWindow::Destroy() {
  if (icon_shown_) {
    icon_removed_for_good_ = true;
    icon_shown_ = false;
  }
  exists_ = false;
}

}  // namespace quillon::app
