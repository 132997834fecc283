// The desktop's account and group windows: the table with its filter (add,
// edit, copy, delete, and enable, disable or delete the rows picked), the
// editor with its four tabs, and the virtual folder dialog.
// What is allowed and what happens on OK is RecordList's.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <wx/dialog.h>
#include <wx/propdlg.h>

#include "app/record_list.h"
#include "ui/form_controls.h"

class wxButton;
class wxChoice;
class wxListBox;
class wxListCtrl;

namespace quillon::ui {

// The six access rights as check boxes in a group box.
class RightsBox {
 public:
  RightsBox(wxWindow* parent, wxSizer* into, const char* title);
  void Show(accounts::AccessRights rights);
  accounts::AccessRights Rights() const;

 private:
  wxCheckBox* boxes_[6] = {};
};

class AccountListDialog final : public wxDialog {
 public:
  // `list` holds the accounts or the groups.
  AccountListDialog(wxWindow* parent, app::RecordList& list, app::Prompter& prompter);

 private:
  void Refill(const std::string& select);
  // The first row picked ("" for none), and every row picked.
  std::string Selected() const;
  std::vector<std::string> Picked() const;
  void Edit(accounts::AccountRecord record, const std::string& previous_name);

  app::Prompter& prompter_;
  app::RecordList& list_;
  wxTextCtrl* filter_ = nullptr;
  wxListCtrl* table_ = nullptr;
  std::vector<std::string> names_;  // the names of the table's rows
};

class AccountEditor final : public wxPropertySheetDialog {
 public:
  AccountEditor(wxWindow* parent, app::RecordList& list, accounts::AccountRecord record,
                std::string previous_name, app::Prompter& prompter);
  const accounts::AccountRecord& Record() const { return record_; }

 private:
  wxWindow* GeneralPage(wxWindow* book);
  wxWindow* FoldersPage(wxWindow* book);
  wxWindow* LimitsPage(wxWindow* book);
  wxWindow* IpPage(wxWindow* book);
  void RefillFolders();
  void EditFolder(std::optional<std::size_t> index);
  void Gather();
  void OnOk();

  app::RecordList& list_;
  accounts::AccountRecord record_;
  const std::string previous_name_;
  app::Prompter& prompter_;
  const bool group_;

  wxCheckBox *enabled_, *in_group_, *pass_change_, *always_login_, *logs_;
  wxTextCtrl *name_, *password_ = nullptr;
  wxChoice* group_choice_;
  std::unique_ptr<RightsBox> rights_;
  wxCheckBox *use_root_, *use_start_;
  wxTextCtrl *root_, *start_;
  wxListBox* folders_;
  wxCheckBox *use_size_, *use_upload_, *use_download_, *use_users_, *use_credits_;
  wxTextCtrl *size_, *upload_, *download_, *users_, *upload_credits_, *download_credits_, *credits_;
  std::unique_ptr<IpListBox> safe_, blocked_;
};

class VirtualFolderDialog final : public wxDialog {
 public:
  VirtualFolderDialog(wxWindow* parent, const accounts::VirtualFolder& folder);
  accounts::VirtualFolder Folder() const;

 private:
  wxTextCtrl *name_, *path_, *size_;
  wxCheckBox *use_size_, *visible_, *counts_, *exempt_;
  std::unique_ptr<RightsBox> rights_;
};

}  // namespace quillon::ui
