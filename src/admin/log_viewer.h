// The remote admin's log viewer: "/_viewlogs/system/..." shows the folder
// "logs" and "/_viewlogs/accounts/..." the folder "accountlogs" of the
// program folder. A path ending in "/" is a folder, answered with its
// directory index; any other path is a file, sent as it is. Request paths
// arrive normalised (no ".." segments), and only real folders and regular
// files are listed or followed (no symbolic links, FIFOs or devices), so
// nothing outside the two folders can be named.
#pragma once

#include <string>

#include "admin/admin_handler.h"

namespace quillon::admin {

class LogViewer {
 public:
  // Registers the "/_viewlogs/" prefix with `handler`, which must outlive
  // this object. `program_folder` holds "logs" and "accountlogs".
  LogViewer(AdminHandler& handler, std::string program_folder);

 private:
  void View(http::HttpRequest& request, const std::string& id);

  const std::string program_folder_;
};

}  // namespace quillon::admin
