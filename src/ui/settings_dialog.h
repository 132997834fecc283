// The desktop's "Settings" sheet: five tabs that show a SettingsForm and
// collect it again; the rules (checks, service, store) are SettingsSheet's,
// and the account and group lists come from it.
#pragma once

#include <memory>

#include <wx/propdlg.h>

#include "app/settings_sheet.h"
#include "ui/form_controls.h"

class wxButton;

namespace quillon::ui {

class SettingsDialog final : public wxPropertySheetDialog {
 public:
  SettingsDialog(wxWindow* parent, app::SettingsSheet& sheet, app::Prompter& prompter);

 private:
  wxWindow* AccountsPage(wxWindow* book);
  wxWindow* GeneralPage(wxWindow* book);
  wxWindow* LimitsPage(wxWindow* book);
  wxWindow* IpPage(wxWindow* book);
  wxWindow* RemoteAdminPage(wxWindow* book);
  void FollowSwitches();
  app::SettingsForm Gather();
  void OnOk();

  app::Prompter& prompter_;
  app::SettingsSheet& sheet_;
  app::SettingsForm form_;

  wxTextCtrl *welcome_, *help_, *port_, *idle_;
  wxCheckBox *recycle_, *run_as_service_, *service_icon_, *auto_hide_, *auto_activate_;
  wxCheckBox *use_upload_, *use_download_, *use_users_, *use_per_ip_, *use_banned_;
  wxTextCtrl *upload_, *download_, *users_, *per_ip_, *banned_;
  wxCheckBox *pass_change_, *site_to_site_, *block_timeout_, *anti_hammer_;
  std::unique_ptr<IpListBox> safe_, blocked_;
  wxCheckBox *use_ra_, *ra_fixed_;
  wxTextCtrl *ra_port_, *ra_password_, *ra_folder_;
  wxButton* ra_browse_;
};

}  // namespace quillon::ui
