#include "ui/settings_dialog.h"

#include <wx/bookctrl.h>
#include <wx/button.h>
#include <wx/dirdlg.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

#include "ui/account_dialogs.h"

namespace quillon::ui {

SettingsDialog::SettingsDialog(wxWindow* parent, app::SettingsSheet& sheet,
                               app::Prompter& prompter)
    : prompter_(prompter), sheet_(sheet), form_(sheet_.Read()) {
  Create(parent, wxID_ANY, "Settings");
  CreateButtons(wxOK | wxCANCEL);
  FindWindow(wxID_OK)->SetLabel("&OK");
  FindWindow(wxID_CANCEL)->SetLabel("&Cancel");
  wxBookCtrlBase* book = GetBookCtrl();
  book->AddPage(AccountsPage(book), "Accounts");
  book->AddPage(GeneralPage(book), "General", true);
  book->AddPage(LimitsPage(book), "Limits");
  book->AddPage(IpPage(book), "IP Restrictions");
  book->AddPage(RemoteAdminPage(book), "Remote Admin");
  FollowSwitches();
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnOk(); }, wxID_OK);
  LayoutDialog();
}

wxWindow* SettingsDialog::AccountsPage(wxWindow* book) {
  auto* page = new wxPanel(book);
  auto* column = new wxBoxSizer(wxVERTICAL);
  const std::pair<const char*, const char*> rows[] = {
      {"&Accounts", "Create, edit, copy and delete the accounts that log in to the server."},
      {"&Groups", "Groups hold settings that the accounts in them share."},
  };
  for (const auto& [label, text] : rows) {
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    auto* button = new wxButton(page, wxID_ANY, label);
    row->Add(button, 0, wxRIGHT, 10);
    row->Add(new wxStaticText(page, wxID_ANY, text), 1, wxALIGN_CENTER_VERTICAL);
    column->Add(row, 0, wxEXPAND | wxALL, 10);
    const bool groups = std::string(label) == "&Groups";
    button->Bind(wxEVT_BUTTON, [this, groups](wxCommandEvent&) {
      app::RecordList records = sheet_.Records(groups);
      AccountListDialog list(this, records, prompter_);
      list.ShowModal();
    });
  }
  page->SetSizer(column);
  return page;
}

wxWindow* SettingsDialog::GeneralPage(wxWindow* book) {
  auto* page = new wxPanel(book);
  auto* column = new wxBoxSizer(wxVERTICAL);
  wxFlexGridSizer* grid = Grid();
  welcome_ = TextBox(page, form_.welcome, app::SettingsSheet::kMessageLength);
  help_ = TextBox(page, form_.help, app::SettingsSheet::kMessageLength);
  port_ = NumberBox(page, form_.port);
  idle_ = NumberBox(page, form_.idle_timeout);
  AddRow(page, grid, "Welcome Message:", welcome_);
  AddRow(page, grid, "Help Message:", help_);
  AddRow(page, grid, "Accept Connections on Port:", port_);
  AddRow(page, grid, "Idle Connection Time-Out (secs):", idle_);
  column->Add(grid, 0, wxEXPAND | wxALL, 8);
  recycle_ = new wxCheckBox(page, wxID_ANY, "Place Deleted Files into the Recycle Bin");
  recycle_->SetValue(form_.delete_to_recycle_bin);
  column->Add(recycle_, 0, wxALL, 8);
  auto* group = new wxStaticBoxSizer(wxVERTICAL, page, "NT Service / Actions On Load");
  wxWindow* box = group->GetStaticBox();
  run_as_service_ = new wxCheckBox(box, wxID_ANY, "Run as an NT Service (Load Automatically)");
  service_icon_ = new wxCheckBox(box, wxID_ANY, "Show Tray Icon in NT Service Mode");
  auto_hide_ = new wxCheckBox(box, wxID_ANY, "Hide in Tray on Load");
  auto_activate_ = new wxCheckBox(box, wxID_ANY, "Activate on Load");
  run_as_service_->SetValue(form_.run_as_service);
  service_icon_->SetValue(form_.show_service_icon);
  auto_hide_->SetValue(form_.auto_hide);
  auto_activate_->SetValue(form_.auto_activate);
  for (wxCheckBox* check : {run_as_service_, service_icon_, auto_hide_, auto_activate_})
    group->Add(check, 0, wxALL, 4);
  run_as_service_->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) {
    FollowSwitches();
    if (run_as_service_->GetValue())
      prompter_.Tell(app::SettingsSheet::kServiceWarning, "Warning", app::Prompter::Icon::kExclamation);
  });
  column->Add(group, 0, wxEXPAND | wxALL, 8);
  page->SetSizer(column);
  return page;
}

wxWindow* SettingsDialog::LimitsPage(wxWindow* book) {
  auto* page = new wxPanel(book);
  auto* column = new wxBoxSizer(wxVERTICAL);
  wxFlexGridSizer* grid = Grid();
  const auto limit = [&](const char* label, bool on, wxCheckBox** check, wxTextCtrl* box) {
    *check = new wxCheckBox(page, wxID_ANY, label);
    (*check)->SetValue(on);
    (*check)->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) { FollowSwitches(); });
    grid->Add(*check, 0, wxALIGN_CENTER_VERTICAL);
    grid->Add(box, 1, wxEXPAND);
  };
  upload_ = NumberBox(page, form_.max_upload_kb);
  download_ = NumberBox(page, form_.max_download_kb);
  users_ = NumberBox(page, form_.max_users);
  per_ip_ = NumberBox(page, form_.max_per_ip);
  banned_ = TextBox(page, form_.banned, app::SettingsSheet::kBannedCapacity);
  limit("Max Upload Speed (KB/s):", form_.use_max_upload, &use_upload_, upload_);
  limit("Max Download Speed (KB/s):", form_.use_max_download, &use_download_, download_);
  limit("Max Users:", form_.use_max_users, &use_users_, users_);
  limit("Max Users Per IP:", form_.use_max_per_ip, &use_per_ip_, per_ip_);
  limit("Ban File Types:", form_.use_banned, &use_banned_, banned_);
  column->Add(grid, 0, wxEXPAND | wxALL, 8);
  auto* group = new wxStaticBoxSizer(wxVERTICAL, page, "Security Options");
  wxWindow* box = group->GetStaticBox();
  const std::pair<wxCheckBox**, std::pair<const char*, bool>> options[] = {
      {&pass_change_, {"Allow Accounts to Enable Password Changing", form_.allow_pass_change}},
      {&site_to_site_, {"Allow Site to Site File Transfers (FXP)", form_.allow_site_to_site}},
      {&block_timeout_, {"Block 'Time-Out Prevention' Activities", form_.block_timeout_stopping}},
      {&anti_hammer_, {"Enable Anti-Hammering", form_.anti_hammering}},
  };
  for (const auto& [check, text] : options) {
    *check = new wxCheckBox(box, wxID_ANY, text.first);
    (*check)->SetValue(text.second);
    group->Add(*check, 0, wxALL, 4);
  }
  column->Add(group, 0, wxEXPAND | wxALL, 8);
  page->SetSizer(column);
  return page;
}

wxWindow* SettingsDialog::IpPage(wxWindow* book) {
  auto* page = new wxPanel(book);
  auto* column = new wxBoxSizer(wxVERTICAL);
  safe_ = std::make_unique<IpListBox>(page, column, "Safe IP's (Overrule Blocked IP's)",
                                      "Enable Safe IP's", "Safe", false, prompter_);
  blocked_ = std::make_unique<IpListBox>(page, column, "Blocked IP's", "Enable Blocked IP's",
                                         "Blocked", true, prompter_);
  safe_->Show(form_.use_safe_ips, form_.safe_ips);
  blocked_->Show(form_.use_blocked_ips, form_.blocked_ips);
  page->SetSizer(column);
  return page;
}

wxWindow* SettingsDialog::RemoteAdminPage(wxWindow* book) {
  auto* page = new wxPanel(book);
  auto* column = new wxBoxSizer(wxVERTICAL);
  use_ra_ = new wxCheckBox(page, wxID_ANY, "Enable Remote Admin");
  use_ra_->SetValue(form_.use_remote_admin);
  column->Add(use_ra_, 0, wxALL, 8);
  wxFlexGridSizer* grid = Grid();
  ra_port_ = NumberBox(page, form_.remote_admin_port);
  ra_password_ = TextBox(page, form_.remote_admin_password, app::SettingsSheet::kMessageLength,
                         wxTE_PASSWORD);
  AddRow(page, grid, "Accept Connections on Port:", ra_port_);
  AddRow(page, grid, "Password:", ra_password_);
  column->Add(grid, 0, wxEXPAND | wxALL, 8);
  ra_fixed_ = new wxCheckBox(page, wxID_ANY, "Limit to Folder:");
  ra_fixed_->SetValue(form_.remote_admin_fixed);
  auto* folder_row = new wxBoxSizer(wxHORIZONTAL);
  ra_folder_ = TextBox(page, form_.remote_admin_folder, app::SettingsSheet::kFolderLength);
  ra_browse_ = new wxButton(page, wxID_ANY, "&Browse");
  folder_row->Add(ra_fixed_, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 6);
  folder_row->Add(ra_folder_, 1, wxEXPAND | wxRIGHT, 6);
  folder_row->Add(ra_browse_, 0);
  column->Add(folder_row, 0, wxEXPAND | wxALL, 8);
  for (wxCheckBox* check : {use_ra_, ra_fixed_})
    check->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) { FollowSwitches(); });
  ra_browse_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    wxDirDialog picker(this, "Limit to Folder", ra_folder_->GetValue());
    if (picker.ShowModal() == wxID_OK) ra_folder_->ChangeValue(picker.GetPath());
  });
  page->SetSizer(column);
  return page;
}

void SettingsDialog::FollowSwitches() {
  const bool service = run_as_service_->GetValue();
  service_icon_->Enable(service);
  auto_hide_->Enable(!service);
  auto_activate_->Enable(!service);
  upload_->Enable(use_upload_->GetValue());
  download_->Enable(use_download_->GetValue());
  users_->Enable(use_users_->GetValue());
  per_ip_->Enable(use_per_ip_->GetValue());
  banned_->Enable(use_banned_->GetValue());
  const bool remote_admin = use_ra_->GetValue();
  ra_port_->Enable(remote_admin);
  ra_password_->Enable(remote_admin);
  ra_fixed_->Enable(remote_admin);
  ra_folder_->Enable(remote_admin && ra_fixed_->GetValue());
  ra_browse_->Enable(remote_admin && ra_fixed_->GetValue());
}

app::SettingsForm SettingsDialog::Gather() {
  app::SettingsForm form;
  form.welcome = Utf8(welcome_->GetValue());
  form.help = Utf8(help_->GetValue());
  form.port = NumberOf(port_);
  form.idle_timeout = NumberOf(idle_);
  form.delete_to_recycle_bin = recycle_->GetValue();
  form.run_as_service = run_as_service_->GetValue();
  form.show_service_icon = service_icon_->GetValue();
  form.auto_hide = auto_hide_->GetValue();
  form.auto_activate = auto_activate_->GetValue();
  form.use_max_upload = use_upload_->GetValue();
  form.max_upload_kb = NumberOf(upload_);
  form.use_max_download = use_download_->GetValue();
  form.max_download_kb = NumberOf(download_);
  form.use_max_users = use_users_->GetValue();
  form.max_users = NumberOf(users_);
  form.use_max_per_ip = use_per_ip_->GetValue();
  form.max_per_ip = NumberOf(per_ip_);
  form.use_banned = use_banned_->GetValue();
  form.banned = Utf8(banned_->GetValue());
  form.allow_pass_change = pass_change_->GetValue();
  form.allow_site_to_site = site_to_site_->GetValue();
  form.block_timeout_stopping = block_timeout_->GetValue();
  form.anti_hammering = anti_hammer_->GetValue();
  form.use_safe_ips = safe_->Enabled();
  form.safe_ips = safe_->List();
  form.use_blocked_ips = blocked_->Enabled();
  form.blocked_ips = blocked_->List();
  form.use_remote_admin = use_ra_->GetValue();
  form.remote_admin_port = NumberOf(ra_port_);
  form.remote_admin_password = Utf8(ra_password_->GetValue());
  form.remote_admin_fixed = ra_fixed_->GetValue();
  form.remote_admin_folder = Utf8(ra_folder_->GetValue());
  return form;
}

void SettingsDialog::OnOk() {
  if (sheet_.Ok(Gather())) EndModal(wxID_OK);
}

}  // namespace quillon::ui
