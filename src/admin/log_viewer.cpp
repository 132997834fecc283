#include "admin/log_viewer.h"

#include <string_view>

#include "platform/fs.h"
#include "fileutil/text.h"

namespace quillon::admin {

using http::HttpRequest;
using http::HttpResponse;

namespace {

struct Area {
  std::string_view prefix;  // ends with the '/' that begins the rest of the path
  std::string_view folder;
};
constexpr Area kAreas[] = {
    {"/_viewlogs/system/", "logs"},
    {"/_viewlogs/accounts/", "accountlogs"},
};

// True when each folder step of `rest` ("/old/ftp_0.txt", "/old/") below
// `root` is a folder itself, not a symbolic link to one: a link planted in
// the log folders could lead anywhere the server can read. The last step of
// a file's path is left to the check of the file itself.
bool StepsAreRealFolders(const std::string& root, std::string_view rest) {
  std::string at = root;
  std::size_t start = 1;  // after the leading '/'
  for (std::size_t slash; (slash = rest.find('/', start)) != std::string_view::npos; start = slash + 1) {
    if (slash == start) continue;
    at += "/" + std::string(rest.substr(start, slash - start));
    platform::PathInfo info;
    if (!platform::StatPathNoFollow(at, &info) || info.is_link || !info.is_folder) return false;
  }
  return true;
}

}  // namespace

LogViewer::LogViewer(AdminHandler& handler, std::string program_folder)
    : program_folder_(std::move(program_folder)) {
  handler.AddPrefixRoute("/_viewlogs/",
                         [this](HttpRequest& request, const std::string& id) { View(request, id); });
}

void LogViewer::View(HttpRequest& request, const std::string& id) {
  const std::string& path = request.Path();
  for (const Area& area : kAreas) {
    if (!fileutil::StartsWithNoCase(path, area.prefix)) continue;
    // The rest keeps the '/' that ends the prefix: "logs" + "/ftp_0.txt".
    const std::string rest = path.substr(area.prefix.size() - 1);
    const std::string shown = std::string(area.folder) + rest;
    const std::string root = program_folder_ + "/" + std::string(area.folder);
    const std::string disk = root + rest;
    HttpResponse& response = request.Response();
    if (!StepsAreRealFolders(root, rest)) {
      response.NotFound();
    } else if (path.back() == '/') {
      const std::string up = path.size() > area.prefix.size() ? "../?id=" + id : "/_logs?id=" + id;
      // A missing folder leaves the not-found answer in place.
      [[maybe_unused]] const bool listed = response.DirectoryIndex(disk, "id=" + id, shown, up);
    } else if (!response.SendRegularFile(disk)) {
      response.NotFound();
    }
    return;
  }
}

}  // namespace quillon::admin
