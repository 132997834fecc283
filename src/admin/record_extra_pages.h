// The account and group pages beside the tabs: the virtual-folder page and
// its form, which change the working copy, and the copy page and its form,
// which store a copy of a record under a new name.
//
// Thread-safety: the edit lock guards the working copy, the copy lock the
// copy source; never both at once.
#pragma once

#include <string>

#include "admin/admin_handler.h"
#include "admin/form_refusal.h"

namespace quillon::admin {

class RecordExtraPages {
 public:
  // Registers _editvf, _processaccountvf, _editcopy and _processaccountcopy
  // with `handler`, which must outlive this object.
  explicit RecordExtraPages(AdminHandler& handler);

 private:
  void FolderPage(http::HttpRequest& request, const std::string& id);
  void ProcessFolder(http::HttpRequest& request, const std::string& id);
  // The folder form showing `folder`; `original` is its name before editing
  // ("" for a new one); `refusal` is shown beside its field ("name",
  // "path" or "maxsize").
  void FolderForm(http::HttpRequest& request, const std::string& id, const accounts::VirtualFolder& folder,
                  const std::string& original, const FormRefusal& refusal);
  void CopyPage(http::HttpRequest& request, const std::string& id);
  void ProcessCopy(http::HttpRequest& request, const std::string& id);

  AdminHandler& handler_;
};

}  // namespace quillon::admin
