// The account and group pages of the remote admin: the selection form of
// the two list pages, the general, folders and limits tabs with their
// processors, and the store step that validates the edited record and puts
// it into its store, applies it to the running server and saves.
//
// Editing works on the working copy in the administrator's edit state;
// nothing reaches a store before the update button of a tab.
//
// Thread-safety: the edit lock guards the working copy; the stores and the
// auth manager lock themselves; no two of these are held at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "admin/admin_handler.h"
#include "admin/form_refusal.h"
#include "admin/form_button.h"
#include "control/record_control.h"

namespace quillon::admin {

class AccountPages {
 public:
  // Registers the selection, tab and tab-processor routes with `handler`,
  // which must outlive this object.
  explicit AccountPages(AdminHandler& handler);

  // The list page and the records of accounts (true) or groups.
  static const char* ListPage(bool account) { return account ? "_accounts" : "_groups"; }
  static control::RecordControl RecordsOf(ftp::FtpServer& server, bool account) {
    return control::RecordControl(server, account ? control::RecordKind::kAccount : control::RecordKind::kGroup);
  }

  // One table row of the list page: a check box, the name and the row's
  // facts, every text escaped.
  static std::string TableRow(const control::RecordRow& row, bool account);

  // The update button of any tab (the IP tab's too): validate, store,
  // apply and save the edited record.
  void Store(http::HttpRequest& request, const std::string& id);

 private:
  // The working copy as a page shows it.
  struct Edited {
    accounts::AccountRecord record;
    bool account = true;
    std::string edited_name;
  };
  using Filler = void (AccountPages::*)(const Edited&, std::string_view, std::string*);
  enum class TabKind { kGeneral, kFolders, kLimits };

  void Selection(http::HttpRequest& request, const std::string& id);
  // The list page, narrowed by the "filter" query parameter.
  void List(http::HttpRequest& request, const std::string& id, bool account);
  // Enables, disables or deletes the checked records of the list page.
  void Bulk(http::HttpRequest& request, const std::string& id);
  // A copy of the working copy, taken under the edit lock.
  Edited WorkingCopy();
  // A tab page showing `edited` in the template of its kind, with
  // `refusal` beside its field.
  void Tab(http::HttpRequest& request, const std::string& id, TabKind tab, const Edited& edited,
           const FormRefusal& refusal);
  // Shows a refusal of the record's check beside its field, on the tab
  // that holds the field (the working copy as typed). False when the
  // refusal concerns no single field.
  bool ShowRefusal(http::HttpRequest& request, const std::string& id, const std::string& message);
  // The confirmation page before `names` are deleted: the record picked in
  // the list, or the checked rows of the table (`checked_rows`). It posts
  // to the form the deletion came from.
  void ConfirmDeletion(http::HttpRequest& request, const std::string& id, bool account,
                       const std::vector<std::string>& names, bool checked_rows);
  // The confirmation page before the virtual folder `name` is deleted.
  void ConfirmFolderDeletion(http::HttpRequest& request, const std::string& id, const std::string& name);
  // The limits tab's check boxes into *record.
  static void ReadLimitBoxes(const http::HttpRequest& request, accounts::AccountRecord* record);
  void FillGeneral(const Edited& edited, std::string_view name, std::string* out);
  void FillFolders(const Edited& edited, std::string_view name, std::string* out);
  void FillLimits(const Edited& edited, std::string_view name, std::string* out);
  void ProcessGeneral(http::HttpRequest& request, const std::string& id);
  void ProcessFolders(http::HttpRequest& request, const std::string& id);
  void ProcessLimits(http::HttpRequest& request, const std::string& id);
  // The frame of the tab processors: a readable form with a button. False
  // when the processor stops (the 404 stays, or the browser was sent to the
  // list page).
  bool OpenTab(http::HttpRequest& request, const std::string& id, FormButton* button);
  // After a tab's fields are stored: the update, the tab buttons, or back to
  // `own_page`.
  void FollowButton(http::HttpRequest& request, const std::string& id, FormButton button,
                    const char* own_page);
  bool IsAccountMode();

  // The group list of the general tab.
  void AppendGroupOptions(const Edited& edited, std::string* out);

  AdminHandler& handler_;
};

}  // namespace quillon::admin
