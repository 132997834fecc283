#include "ui/service_running_dialog.h"

#include <wx/button.h>
#include <wx/stattext.h>

#include "ui/artwork.h"
#include "ui/layout.h"

namespace quillon::ui {

ServiceRunningDialog::ServiceRunningDialog(const app::ServiceRunningChoice& choice)
    : wxDialog(nullptr, wxID_ANY, "Service Currently Running"), choice_(choice) {
  SetIcons(AppIcons());
  DialogUnits du(this);
  new wxStaticText(this, wxID_ANY,
                   "Quillon FTP Server is currently running as a service. Do you wish to "
                   "continue the service, end the service and reload as normal, or access the "
                   "remote admin facility?",
                   du.At(7, 7), du.Size(288, 20));
  auto* keep = new wxButton(this, wxID_CANCEL, "&Continue Service", du.At(7, 33), du.Size(92, 14));
  new wxButton(this, wxID_OK, "&End Service", du.At(105, 33), du.Size(92, 14));
  auto* admin = new wxButton(this, wxID_ANY, "&Open Remote Admin", du.At(203, 33), du.Size(92, 14));
  admin->Enable(choice_.RemoteAdminOffered());
  admin->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    choice_.OpenRemoteAdmin();
    EndModal(wxID_CANCEL);
  });
  keep->SetDefault();
  SetEscapeId(wxID_CANCEL);
  SetClientSize(du.Size(302, 54));
  Centre();
}

}  // namespace quillon::ui
