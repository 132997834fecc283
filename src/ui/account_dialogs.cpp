#include "ui/account_dialogs.h"

#include <algorithm>
#include <cstdlib>

#include <wx/bookctrl.h>
#include <wx/button.h>
#include <wx/choice.h>
#include <wx/dirdlg.h>
#include <wx/listbox.h>
#include <wx/listctrl.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textdlg.h>

#include "app/password_box.h"
#include "ui/layout.h"

namespace quillon::ui {

using accounts::AccountRecord;

namespace {

constexpr std::size_t kNameLength = 99;
constexpr std::size_t kPathLength = 256;

// A signed number box (credits per KB may be below 0).
std::int32_t SignedOf(wxTextCtrl* box) {
  if (box->IsEmpty()) box->ChangeValue("0");
  const long value = std::strtol(Utf8(box->GetValue()).c_str(), nullptr, 10);
  return static_cast<std::int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

wxCheckBox* Check(wxWindow* parent, const char* label, bool value) {
  auto* check = new wxCheckBox(parent, wxID_ANY, label);
  check->SetValue(value);
  return check;
}

// "check  box" rows whose check enables the box.
void SwitchedRow(wxFlexGridSizer* grid, wxCheckBox* check, wxWindow* box) {
  grid->Add(check, 0, wxALIGN_CENTER_VERTICAL);
  grid->Add(box, 1, wxEXPAND);
  box->Enable(check->GetValue());
  check->Bind(wxEVT_CHECKBOX, [check, box](wxCommandEvent&) { box->Enable(check->GetValue()); });
}

void BrowseInto(wxWindow* parent, wxTextCtrl* box) {
  wxDirDialog picker(parent, "Select a folder", box->GetValue());
  if (picker.ShowModal() == wxID_OK) box->ChangeValue(picker.GetPath());
}

}  // namespace

RightsBox::RightsBox(wxWindow* parent, wxSizer* into, const char* title) {
  auto* group = new wxStaticBoxSizer(wxVERTICAL, parent, title);
  auto* grid = new wxGridSizer(2, wxSize(12, 4));
  const char* labels[] = {"Folder View", "File Read", "Folder Create", "File Write",
                          "Folder Modify", "File Modify"};
  for (int i = 0; i < 6; ++i) {
    boxes_[i] = new wxCheckBox(group->GetStaticBox(), wxID_ANY, labels[i]);
    grid->Add(boxes_[i]);
  }
  group->Add(grid, 0, wxALL, 4);
  into->Add(group, 0, wxEXPAND | wxALL, 6);
}

namespace {
constexpr accounts::AccessRights kRightOfBox[6] = {
    accounts::kFolderView,   accounts::kFileRead,  accounts::kFolderCreate,
    accounts::kFileWrite,    accounts::kFolderModify, accounts::kFileModify};
}  // namespace

void RightsBox::Show(accounts::AccessRights rights) {
  for (int i = 0; i < 6; ++i) boxes_[i]->SetValue((rights & kRightOfBox[i]) != 0);
}

accounts::AccessRights RightsBox::Rights() const {
  accounts::AccessRights rights = 0;
  for (int i = 0; i < 6; ++i)
    if (boxes_[i]->GetValue()) rights |= kRightOfBox[i];
  return rights;
}

AccountListDialog::AccountListDialog(wxWindow* parent, app::RecordList& list,
                                     app::Prompter& prompter)
    : wxDialog(parent, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      prompter_(prompter),
      list_(list) {
  DialogUnits du(this);
  auto* filter_row = new wxBoxSizer(wxHORIZONTAL);
  filter_row->Add(new wxStaticText(this, wxID_ANY, "&Filter by name:"), 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 6);
  filter_ = TextBox(this, "", kNameLength);
  filter_row->Add(filter_, 1);
  // Wide enough to show every column at once.
  const std::vector<std::string> columns = list_.Columns();
  static constexpr int kWidths[] = {90, 64, 70, 150, 100, 80, 60, 66, 150};
  int width = 8;
  for (std::size_t i = 0; i < columns.size() && i < std::size(kWidths); ++i) width += kWidths[i];
  table_ = new wxListCtrl(this, wxID_ANY, wxDefaultPosition, wxSize(width, du.Size(0, 133).y), wxLC_REPORT);
  for (std::size_t i = 0; i < columns.size() && i < std::size(kWidths); ++i)
    table_->InsertColumn(static_cast<long>(i), Text(columns[i]), wxLIST_FORMAT_LEFT, kWidths[i]);

  auto* side = new wxBoxSizer(wxVERTICAL);
  const char* labels[] = {"&Add", "&Edit", "&Copy", "&Delete"};
  wxButton* buttons[4];
  for (int i = 0; i < 4; ++i) {
    buttons[i] = new wxButton(this, wxID_ANY, labels[i], wxDefaultPosition, du.Size(47, 14));
    side->Add(buttons[i], 0, wxBOTTOM, 4);
  }
  side->AddStretchSpacer();
  side->Add(new wxButton(this, wxID_CANCEL, "&Close", wxDefaultPosition, du.Size(47, 14)));
  SetEscapeId(wxID_CANCEL);
  auto* middle = new wxBoxSizer(wxHORIZONTAL);
  middle->Add(table_, 1, wxEXPAND | wxRIGHT, 7);
  middle->Add(side, 0, wxEXPAND);

  // The bulk actions on every row picked; the texts show without their
  // keyboard markers.
  auto* enable = new wxButton(this, wxID_ANY, "E&nable selected");
  auto* disable = new wxButton(this, wxID_ANY, "D&isable selected");
  auto* remove = new wxButton(this, wxID_ANY, "Dele&te selected");
  auto* bulk = new wxBoxSizer(wxHORIZONTAL);
  for (wxButton* button : {enable, disable, remove}) bulk->Add(button, 0, wxRIGHT, 6);

  auto* column = new wxBoxSizer(wxVERTICAL);
  column->Add(filter_row, 0, wxEXPAND | wxALL, 7);
  column->Add(middle, 1, wxEXPAND | wxLEFT | wxRIGHT, 7);
  column->Add(bulk, 0, wxALL, 7);
  SetSizerAndFit(column);

  filter_->Bind(wxEVT_TEXT, [this](wxCommandEvent&) { Refill(Selected()); });
  buttons[0]->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Edit(app::RecordList::NewRecord(), ""); });
  buttons[1]->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    AccountRecord record;
    const std::string name = Selected();
    if (!name.empty() && list_.TakeForEdit(name, &record)) Edit(record, name);
  });
  table_->Bind(wxEVT_LIST_ITEM_ACTIVATED, [buttons](wxListEvent&) {
    wxCommandEvent click(wxEVT_BUTTON, buttons[1]->GetId());
    buttons[1]->ProcessWindowEvent(click);
  });
  buttons[2]->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    const std::string name = Selected();
    if (name.empty()) return;
    const bool groups = list_.Groups();
    wxTextEntryDialog prompt(this, groups ? "New Name:" : "New User/Login:",
                             groups ? "Copy Group" : "Copy Account");
    prompt.SetMaxLength(kNameLength);
    if (prompt.ShowModal() != wxID_OK) return;
    const std::string new_name = Utf8(prompt.GetValue());
    if (list_.Copy(name, new_name)) Refill(new_name);
  });
  buttons[3]->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    const std::string name = Selected();
    if (!name.empty() && list_.Delete(name)) Refill("");
  });
  enable->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    if (list_.SetEnabled(Picked(), true)) Refill(Selected());
  });
  disable->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    if (list_.SetEnabled(Picked(), false)) Refill(Selected());
  });
  remove->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    if (list_.DeleteSelected(Picked())) Refill("");
  });
  Refill("");
  filter_->SetFocus();
  CentreOnParent();
}

void AccountListDialog::Refill(const std::string& select) {
  const std::vector<std::string> picked = Picked();
  const std::string filter = Utf8(filter_->GetValue());
  const std::vector<control::RecordRow> rows = list_.Rows(filter);
  table_->DeleteAllItems();
  names_.clear();
  for (const control::RecordRow& row : rows) {
    const std::vector<std::string> cells = list_.Cells(row);
    const long item = table_->InsertItem(table_->GetItemCount(), Text(cells[0]));
    for (std::size_t i = 1; i < cells.size(); ++i) table_->SetItem(item, static_cast<long>(i), Text(cells[i]));
    // The rows picked stay picked; a record named to select (a new one) is.
    const bool pick = row.name == select || std::find(picked.begin(), picked.end(), row.name) != picked.end();
    if (pick) table_->SetItemState(item, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    names_.push_back(row.name);
  }
  SetTitle(Text(list_.Caption(filter, rows.size())));
}

std::string AccountListDialog::Selected() const {
  const long index = table_->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
  return index < 0 || static_cast<std::size_t>(index) >= names_.size() ? std::string()
                                                                       : names_[static_cast<std::size_t>(index)];
}

std::vector<std::string> AccountListDialog::Picked() const {
  std::vector<std::string> picked;
  for (long index = table_->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); index >= 0;
       index = table_->GetNextItem(index, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED))
    if (static_cast<std::size_t>(index) < names_.size()) picked.push_back(names_[static_cast<std::size_t>(index)]);
  return picked;
}

void AccountListDialog::Edit(AccountRecord record, const std::string& previous_name) {
  AccountEditor editor(this, list_, std::move(record), previous_name, prompter_);
  if (editor.ShowModal() != wxID_OK) return;
  if (list_.Store(editor.Record(), previous_name)) Refill(editor.Record().Name());
}

AccountEditor::AccountEditor(wxWindow* parent, app::RecordList& list, AccountRecord record,
                             std::string previous_name, app::Prompter& prompter)
    : list_(list),
      record_(std::move(record)),
      previous_name_(std::move(previous_name)),
      prompter_(prompter),
      group_(list.Groups()) {
  Create(parent, wxID_ANY, group_ ? "Create/Edit Group" : "Create/Edit Account");
  CreateButtons(wxOK | wxCANCEL);
  FindWindow(wxID_OK)->SetLabel("&OK");
  FindWindow(wxID_CANCEL)->SetLabel("&Cancel");
  wxBookCtrlBase* book = GetBookCtrl();
  book->AddPage(GeneralPage(book), "General", true);
  book->AddPage(FoldersPage(book), "Folders");
  book->AddPage(LimitsPage(book), group_ ? "Limits Per Account" : "Limits");
  book->AddPage(IpPage(book), "IP Restrictions");
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnOk(); }, wxID_OK);
  LayoutDialog();
  // Wide enough for every tab's title; the name is what is typed first.
  const wxSize least = DialogUnits(this).Size(250, 0);
  if (GetSize().x < least.x) SetSize(least.x, GetSize().y);
  name_->SetFocus();
}

wxWindow* AccountEditor::GeneralPage(wxWindow* book) {
  auto* page = new wxPanel(book);
  auto* column = new wxBoxSizer(wxVERTICAL);
  enabled_ = Check(page, group_ ? "Enable Group" : "Enable Account", record_.mEnabled);
  column->Add(enabled_, 0, wxALL, 6);
  wxFlexGridSizer* grid = Grid();
  name_ = TextBox(page, record_.Name(), kNameLength);
  AddRow(page, grid, group_ ? "Group Name:" : "User/Login:", name_);
  if (!group_) {
    password_ = TextBox(page, app::PasswordShown(record_.Password()),
                        kNameLength, wxTE_PASSWORD);
    AddRow(page, grid, "Password:", password_);
  }
  in_group_ = Check(page, "Part of Group:", record_.mInGroup);
  group_choice_ = new wxChoice(page, wxID_ANY);
  for (const std::string& group : list_.GroupChoices(record_, previous_name_)) group_choice_->Append(Text(group));
  group_choice_->SetStringSelection(Text(record_.Group()));
  SwitchedRow(grid, in_group_, group_choice_);
  column->Add(grid, 0, wxEXPAND | wxALL, 6);
  pass_change_ = Check(page,
                       group_ ? "Allow Accounts to Enable Password Changing"
                              : "Allow Users to Change the Password",
                       record_.mAllowPassChange);
  column->Add(pass_change_, 0, wxALL, 6);
  rights_ = std::make_unique<RightsBox>(
      page, column, group_ ? "Limit Each Account's Access Rights to:" : "Access Rights");
  rights_->Show(record_.mRights);
  always_login_ = Check(page, "Always Allow Login (Ignore Login Limits)", record_.mAlwaysAllowLogin);
  logs_ = Check(page, "Log Account Activities Separately", record_.mUseLogs);
  column->Add(always_login_, 0, wxALL, 6);
  column->Add(logs_, 0, wxALL, 6);
  page->SetSizer(column);
  return page;
}

wxWindow* AccountEditor::FoldersPage(wxWindow* book) {
  auto* page = new wxPanel(book);
  auto* column = new wxBoxSizer(wxVERTICAL);
  auto* root_row = new wxBoxSizer(wxHORIZONTAL);
  use_root_ = Check(page, "Root Folder:", record_.mUseRootFolder);
  root_ = TextBox(page, record_.RootFolder(), kPathLength);
  auto* browse = new wxButton(page, wxID_ANY, "&Browse");
  root_row->Add(use_root_, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 6);
  root_row->Add(root_, 1, wxRIGHT, 6);
  root_row->Add(browse, 0);
  column->Add(root_row, 0, wxEXPAND | wxALL, 6);
  browse->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { BrowseInto(this, root_); });

  auto* group = new wxStaticBoxSizer(wxVERTICAL, page, "Virtual Folders");
  folders_ = new wxListBox(group->GetStaticBox(), wxID_ANY, wxDefaultPosition, wxSize(-1, 110));
  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  auto* create = new wxButton(group->GetStaticBox(), wxID_ANY, "&Create");
  auto* edit = new wxButton(group->GetStaticBox(), wxID_ANY, "&Edit");
  auto* remove = new wxButton(group->GetStaticBox(), wxID_ANY, "&Delete");
  for (wxButton* button : {create, edit, remove}) buttons->Add(button, 0, wxRIGHT, 6);
  create->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { EditFolder(std::nullopt); });
  edit->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    if (folders_->GetSelection() != wxNOT_FOUND)
      EditFolder(static_cast<std::size_t>(folders_->GetSelection()));
  });
  remove->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    if (folders_->GetSelection() == wxNOT_FOUND) return;
    if (list_.DeleteFolder(&record_, static_cast<std::size_t>(folders_->GetSelection()))) RefillFolders();
  });
  group->Add(folders_, 1, wxEXPAND | wxALL, 4);
  group->Add(buttons, 0, wxALL, 4);
  column->Add(group, 1, wxEXPAND | wxALL, 6);
  RefillFolders();

  wxFlexGridSizer* grid = Grid();
  use_start_ = Check(page, "Start in Directory:", record_.mUseStartDir);
  start_ = TextBox(page, record_.StartDir(), kPathLength);
  SwitchedRow(grid, use_start_, start_);
  column->Add(grid, 0, wxEXPAND | wxALL, 6);
  page->SetSizer(column);
  return page;
}

wxWindow* AccountEditor::LimitsPage(wxWindow* book) {
  auto* page = new wxPanel(book);
  auto* column = new wxBoxSizer(wxVERTICAL);
  wxFlexGridSizer* grid = Grid();
  use_size_ = Check(page, "Max Account Size (MB):", record_.mUseMaxSize);
  size_ = NumberBox(page, record_.mMaxSize);
  use_upload_ = Check(page, "Max Upload Speed (KB/s):", record_.mUseMaxUploadSpeed);
  upload_ = NumberBox(page, record_.mMaxUploadSpeed);
  use_download_ = Check(page, "Max Download Speed (KB/s):", record_.mUseMaxDownloadSpeed);
  download_ = NumberBox(page, record_.mMaxDownloadSpeed);
  use_users_ = Check(page, "Max Users:", record_.mUseMaxUsers);
  users_ = NumberBox(page, record_.mMaxUsers);
  SwitchedRow(grid, use_size_, size_);
  SwitchedRow(grid, use_upload_, upload_);
  SwitchedRow(grid, use_download_, download_);
  SwitchedRow(grid, use_users_, users_);
  column->Add(grid, 0, wxEXPAND | wxALL, 6);

  use_credits_ = Check(page, "Enable Credits", record_.mUseCredits);
  column->Add(use_credits_, 0, wxALL, 6);
  wxFlexGridSizer* credits = Grid();
  upload_credits_ = TextBox(page, std::to_string(record_.mUploadCredits), 11);
  download_credits_ = TextBox(page, std::to_string(record_.mDownloadCredits), 11);
  credits_ = NumberBox(page, record_.mCurrentCredits);
  AddRow(page, credits, "Credits Per Uploaded KB:", upload_credits_);
  AddRow(page, credits, "Credits Per Downloaded KB:", download_credits_);
  AddRow(page, credits, "Current Credits:", credits_);
  column->Add(credits, 0, wxEXPAND | wxALL, 6);
  // The space the record's counted folders use now, against its allocation
  // as stored (a changed size shows once saved).
  column->Add(new wxStaticText(page, wxID_ANY, Text(list_.UsedSpace(record_))), 0, wxALL, 6);
  const auto follow = [this] {
    for (wxWindow* box : {upload_credits_, download_credits_, credits_})
      box->Enable(use_credits_->GetValue());
  };
  follow();
  use_credits_->Bind(wxEVT_CHECKBOX, [follow](wxCommandEvent&) { follow(); });
  page->SetSizer(column);
  return page;
}

wxWindow* AccountEditor::IpPage(wxWindow* book) {
  auto* page = new wxPanel(book);
  auto* column = new wxBoxSizer(wxVERTICAL);
  safe_ = std::make_unique<IpListBox>(page, column, "Safe IP's",
                                      group_ ? "Enable and Limit Safe IP's to:" : "Enable Safe IP's",
                                      "Safe", false, prompter_);
  blocked_ = std::make_unique<IpListBox>(
      page, column, "Blocked IP's",
      group_ ? "Enable and Add to Blocked IP's:" : "Enable Blocked IP's", "Blocked", true,
      prompter_);
  safe_->Show(record_.mUseSafeIPs, record_.mSafeIPs);
  blocked_->Show(record_.mUseBlockIPs, record_.mBlockIPs);
  page->SetSizer(column);
  return page;
}

void AccountEditor::RefillFolders() {
  folders_->Clear();
  for (const accounts::VirtualFolder& folder : record_.VirtualFolders())
    folders_->Append(Text(folder.Name() + "  ->  " + folder.Path()));
}

void AccountEditor::EditFolder(std::optional<std::size_t> index) {
  accounts::VirtualFolder folder = index ? record_.FolderAt(*index) : accounts::VirtualFolder();
  for (;;) {
    VirtualFolderDialog dialog(this, folder);
    if (dialog.ShowModal() != wxID_OK) return;
    folder = dialog.Folder();
    // A refusal opens the dialog again with the values entered.
    if (list_.AcceptFolder(&record_, folder, index)) break;
  }
  RefillFolders();
}

void AccountEditor::Gather() {
  record_.mEnabled = enabled_->GetValue();
  record_.SetName(Utf8(name_->GetValue()));
  if (password_ != nullptr) record_.SetPassword(app::PasswordFromBox(Utf8(password_->GetValue()), record_.Password()));
  record_.mInGroup = in_group_->GetValue();
  record_.SetGroup(Utf8(group_choice_->GetStringSelection()));
  record_.mAllowPassChange = pass_change_->GetValue();
  record_.mRights = rights_->Rights();
  record_.mAlwaysAllowLogin = always_login_->GetValue();
  record_.mUseLogs = logs_->GetValue();
  record_.mUseRootFolder = use_root_->GetValue();
  record_.SetRootFolder(Utf8(root_->GetValue()));
  record_.mUseStartDir = use_start_->GetValue();
  record_.SetStartDir(Utf8(start_->GetValue()));
  record_.mUseMaxSize = use_size_->GetValue();
  record_.mMaxSize = NumberOf(size_);
  record_.mUseMaxUploadSpeed = use_upload_->GetValue();
  record_.mMaxUploadSpeed = NumberOf(upload_);
  record_.mUseMaxDownloadSpeed = use_download_->GetValue();
  record_.mMaxDownloadSpeed = NumberOf(download_);
  record_.mUseMaxUsers = use_users_->GetValue();
  record_.mMaxUsers = NumberOf(users_);
  record_.mUseCredits = use_credits_->GetValue();
  record_.mUploadCredits = SignedOf(upload_credits_);
  record_.mDownloadCredits = SignedOf(download_credits_);
  record_.mCurrentCredits = NumberOf(credits_);
  record_.mUseSafeIPs = safe_->Enabled();
  record_.mSafeIPs = safe_->List();
  record_.mUseBlockIPs = blocked_->Enabled();
  record_.mBlockIPs = blocked_->List();
}

void AccountEditor::OnOk() {
  Gather();
  if (list_.AcceptEdited(record_, previous_name_)) EndModal(wxID_OK);
}

VirtualFolderDialog::VirtualFolderDialog(wxWindow* parent, const accounts::VirtualFolder& folder)
    : wxDialog(parent, wxID_ANY, "Create/Edit Virtual Folder") {
  auto* column = new wxBoxSizer(wxVERTICAL);
  wxFlexGridSizer* grid = Grid();
  name_ = TextBox(this, folder.Name(), kNameLength);
  AddRow(this, grid, "Name:", name_);
  auto* path_row = new wxBoxSizer(wxHORIZONTAL);
  path_ = TextBox(this, folder.Path(), kPathLength);
  auto* browse = new wxButton(this, wxID_ANY, "&Browse");
  path_row->Add(path_, 1, wxRIGHT, 6);
  path_row->Add(browse, 0);
  grid->Add(new wxStaticText(this, wxID_ANY, "Path:"), 0, wxALIGN_CENTER_VERTICAL);
  grid->Add(path_row, 1, wxEXPAND);
  browse->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { BrowseInto(this, path_); });
  use_size_ = Check(this, "Max Size (MB):", folder.mUseMaxSize);
  size_ = NumberBox(this, folder.mMaxSize);
  SwitchedRow(grid, use_size_, size_);
  column->Add(grid, 0, wxEXPAND | wxALL, 8);
  rights_ = std::make_unique<RightsBox>(this, column, "Access Rights");
  rights_->Show(folder.mRights);
  visible_ = Check(this, "Visible in Folder View", folder.mVisible);
  counts_ = Check(this, "Counts Towards Current Account Size", folder.mCountsTowardsSize);
  exempt_ = Check(this, "Exempt From Credit Rules (Free Files) ", folder.mCreditsExempt);
  for (wxCheckBox* check : {visible_, counts_, exempt_}) column->Add(check, 0, wxALL, 6);
  auto* buttons = new wxStdDialogButtonSizer();
  buttons->AddButton(new wxButton(this, wxID_OK, "&OK"));
  buttons->AddButton(new wxButton(this, wxID_CANCEL, "&Cancel"));
  buttons->Realize();
  column->Add(buttons, 0, wxEXPAND | wxALL, 8);
  SetSizerAndFit(column);
  CentreOnParent();
}

accounts::VirtualFolder VirtualFolderDialog::Folder() const {
  accounts::VirtualFolder folder;
  folder.SetName(Utf8(name_->GetValue()));
  folder.SetPath(Utf8(path_->GetValue()));
  folder.mUseMaxSize = use_size_->GetValue();
  folder.mMaxSize = NumberOf(size_);
  folder.mRights = rights_->Rights();
  folder.mVisible = visible_->GetValue();
  folder.mCountsTowardsSize = counts_->GetValue();
  folder.mCreditsExempt = exempt_->GetValue();
  return folder;
}

}  // namespace quillon::ui

