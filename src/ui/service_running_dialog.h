// Shown by a desktop start while the installed service runs: continue the
// service, end it and load the desktop, or open the remote admin.
#pragma once

#include <wx/dialog.h>

#include "app/desktop_links.h"

namespace quillon::ui {

class ServiceRunningDialog final : public wxDialog {
 public:
  explicit ServiceRunningDialog(const app::ServiceRunningChoice& choice);
  // True when the user chose "End Service".
  bool EndService() { return ShowModal() == wxID_OK; }

 private:
  const app::ServiceRunningChoice& choice_;
};

}  // namespace quillon::ui
