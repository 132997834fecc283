// Form fields shared by the account, group and virtual-folder pages: the six
// access-right check boxes, with the placeholder each page fills.
#pragma once

#include <string>
#include <string_view>

#include "accounts/access_rights.h"
#include "http/http_request.h"

namespace quillon::admin {

struct RightField {
  std::string_view placeholder;
  std::string_view field;
  accounts::AccessRights bit;
};

inline constexpr RightField kRightFields[] = {
    {"USEFOLDERVIEW", "usefolderview", accounts::kFolderView},
    {"USEFILEREAD", "usefileread", accounts::kFileRead},
    {"USEFOLDERCREATE", "usefoldercreate", accounts::kFolderCreate},
    {"USEFILEWRITE", "usefilewrite", accounts::kFileWrite},
    {"USEFOLDERMODIFY", "usefoldermodify", accounts::kFolderModify},
    {"USEFILEMODIFY", "usefilemodify", accounts::kFileModify},
};

// The rights whose boxes the form holds. REQUIRES: request.IsComplete().
inline accounts::AccessRights ReadRights(const http::HttpRequest& request) {
  accounts::AccessRights rights = 0;
  for (const RightField& right : kRightFields)
    if (request.FormFieldExists(right.field)) rights |= right.bit;
  return rights;
}

// Writes "checked" for a rights placeholder whose bit is set; false when
// `name` is not a rights placeholder.
inline bool FillRight(accounts::AccessRights rights, std::string_view name, std::string* out) {
  for (const RightField& right : kRightFields) {
    if (right.placeholder != name) continue;
    if ((rights & right.bit) != 0) *out += "checked";
    return true;
  }
  return false;
}

// "checked" when `on`.
inline void FillCheck(bool on, std::string* out) {
  if (on) *out += "checked";
}

}  // namespace quillon::admin
