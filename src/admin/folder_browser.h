// The remote admin's folder browser, and the fixed-folder rule that limits
// which disk folders the administrator may name or see: when it is on, only
// the fixed folder and what lies below it, judged on the path as written
// (whole components, case-sensitive, no "." or ".." steps) and on the path
// with its symbolic links resolved, so neither ".." nor a link leads out.
//
// Thread-safety: the fixed-folder settings are read through
// control::SettingsControl; the rest works on the request's own data.
#pragma once

#include <string>
#include <string_view>

#include "accounts/account_record.h"
#include "admin/admin_handler.h"

namespace quillon::admin {

// The refusals of the fixed-folder rule: for a root folder, and for the
// disk path of a virtual folder.
inline constexpr const char* kRootNotAllowed = "You are not allowed access to the root path.";
inline constexpr const char* kPathNotAllowed = "You are not allowed access to that path.";

// `path` made absolute and clean: no empty, "." or ".." steps, no trailing "/" (except for "/" itself). A relative path is taken
// from "/".
std::string NormaliseDiskPath(std::string_view path);
// `text` for use inside a JavaScript string literal in a page: quotes,
// backslashes, angle brackets, "&" and control characters are written as
// escapes, so no folder name can end the string or the script.
std::string EscapeJavaScript(std::string_view text);

class FolderBrowser {
 public:
  // Registers _browse with `handler`, which must outlive this object.
  explicit FolderBrowser(AdminHandler& handler);

  // The fixed folder in force, normalised; "" when the rule is off.
  static std::string FixedFolder(ftp::FtpServer& server);
  // True when `fixed` is "" or `path` lies at or below it. Under a fixed
  // folder a path with a "." or ".." step is refused, not normalised: the
  // kernel takes "link/.." to the parent of the link's target, which the
  // text does not show. The path with its links resolved (for a part that
  // does not exist yet, its nearest existing folder) must lie at or below
  // the resolved fixed folder too.
  static bool Allows(const std::string& fixed, std::string_view path);
  // The refusal for the first disk folder of `record` that `fixed` does
  // not allow: its root folder (when it uses one), then each virtual
  // folder's path; null when all are allowed.
  static const char* RecordRefusal(const std::string& fixed, const accounts::AccountRecord& record);

 private:
  void Browse(http::HttpRequest& request, const std::string& id);

  AdminHandler& handler_;
};

}  // namespace quillon::admin
