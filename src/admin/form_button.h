// The buttons of the remote admin's edit forms (the IP lists, the account
// and group tabs). A browser sends the field of the button that was pressed;
// image buttons send "<name>.x" and "<name>.y".
#pragma once

#include "http/http_request.h"

namespace quillon::admin {

enum class FormButton {
  kNone,
  kUpdate,
  kAdd,
  kEdit,
  kDelete,
  kTabGeneral,
  kTabFolders,
  kTabLimits,
  kTabIps,
  kAddSafe,
  kDeleteSafe,
  kAddBlocked,
  kDeleteBlocked,
  kBlockAll,
};

// The first button field of the form, tried in the order above.
// REQUIRES: request.IsComplete().
FormButton FindButton(const http::HttpRequest& request);

}  // namespace quillon::admin
