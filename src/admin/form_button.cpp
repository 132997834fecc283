#include "admin/form_button.h"

#include <string_view>

namespace quillon::admin {

using http::HttpRequest;

FormButton FindButton(const HttpRequest& request) {
  struct Field {
    std::string_view name;
    FormButton button;
  };
  static constexpr Field kFields[] = {
      {"buttonupdate", FormButton::kUpdate},
      {"buttonadd", FormButton::kAdd},
      {"buttonedit", FormButton::kEdit},
      {"buttondelete", FormButton::kDelete},
      {"tabgeneral.x", FormButton::kTabGeneral},
      {"tabfolders.x", FormButton::kTabFolders},
      {"tablimits.x", FormButton::kTabLimits},
      {"tabips.x", FormButton::kTabIps},
      {"buttonaddsafe", FormButton::kAddSafe},
      {"buttondeletesafe", FormButton::kDeleteSafe},
      {"buttonaddblocked", FormButton::kAddBlocked},
      {"buttondeleteblocked", FormButton::kDeleteBlocked},
      {"buttonblockall", FormButton::kBlockAll},
  };
  for (const Field& field : kFields)
    if (request.FormFieldExists(field.name)) return field.button;
  return FormButton::kNone;
}

}  // namespace quillon::admin
