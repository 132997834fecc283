// The remote admin's folder browser, and the fixed-folder rule that limits
// which disk folders the administrator may name or see: when it is on, only
// the fixed folder and what lies below it, judged on the normalised path
// (whole components, case-sensitive) and on the path with its symbolic
// links resolved, so neither ".." nor a link leads out.
//
// Thread-safety: the settings lock guards the fixed-folder settings; the
// rest works on the request's own data.
#pragma once

#include <string>
#include <string_view>

#include "admin/admin_handler.h"

namespace quillon::admin {

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
  static std::string FixedFolder(settings::ServerSettings& settings);
  // True when `fixed` is "" or `path` lies at or below it.
  static bool Allows(const std::string& fixed, std::string_view path);

 private:
  void Browse(HttpRequest& request, const std::string& id);

  AdminHandler& handler_;
};

}  // namespace quillon::admin
