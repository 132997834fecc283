#include "admin/log_viewer.h"

#include <string_view>

#include "vfs/text.h"

namespace quillon::admin {

namespace {

struct Area {
  std::string_view prefix;  // ends with the '/' that begins the rest of the path
  std::string_view folder;
};
constexpr Area kAreas[] = {
    {"/_viewlogs/system/", "logs"},
    {"/_viewlogs/accounts/", "accountlogs"},
};

}  // namespace

LogViewer::LogViewer(AdminHandler& handler, std::string program_folder)
    : program_folder_(std::move(program_folder)) {
  handler.AddPrefixRoute("/_viewlogs/",
                         [this](HttpRequest& request, const std::string& id) { View(request, id); });
}

void LogViewer::View(HttpRequest& request, const std::string& id) {
  const std::string& path = request.Path();
  for (const Area& area : kAreas) {
    if (!vfs::StartsWithNoCase(path, area.prefix)) continue;
    // The rest keeps the '/' that ends the prefix: "logs" + "/ftp_0.txt".
    const std::string rest = path.substr(area.prefix.size() - 1);
    const std::string shown = std::string(area.folder) + rest;
    const std::string disk = program_folder_ + "/" + shown;
    HttpResponse& response = request.Response();
    if (path.back() == '/') {
      const std::string up = path.size() > area.prefix.size() ? "../?id=" + id : "/_logs?id=" + id;
      // A missing folder leaves the not-found answer in place.
      [[maybe_unused]] const bool listed = response.DirectoryIndex(disk, "id=" + id, shown, up);
    } else if (!response.SendFile(disk, 200, false)) {
      response.NotFound();
    }
    return;
  }
}

}  // namespace quillon::admin
