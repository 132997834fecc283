#include "admin/folder_browser.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "control/settings_control.h"
#include "runtime/limits.h"
#include "fileutil/directory_enumerator.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"

namespace quillon::admin {

namespace {

using http::EncodeUrl;
using http::EscapeHtml;
using http::HttpRequest;
constexpr std::size_t kMaxStart = limits::kRequestPath;

// `path` (normalised) with a "/" at its end.
std::string AsFolder(const std::string& path) { return path == "/" ? path : path + "/"; }

// One of the components between the "/" of `path` is "." or "..".
bool HasDotStep(std::string_view path) {
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    const std::string_view step = path.substr(start, slash - start);
    if (step == "." || step == "..") return true;
    start = slash + 1;
  }
  return false;
}

}  // namespace

std::string NormaliseDiskPath(std::string_view path) {
  // A backslash is an ordinary character of a Linux file name. The lexical
  // normaliser drops ".." steps above the root; a trailing "/" goes here.
  std::string clean = std::filesystem::path("/" + std::string(path)).lexically_normal().generic_string();
  while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
  return clean;
}

std::string EscapeJavaScript(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 || byte == 0x7F || ch == '\\' || ch == '"' || ch == '\'' || ch == '<' ||
        ch == '>' || ch == '&' || ch == '`') {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

FolderBrowser::FolderBrowser(AdminHandler& handler) : handler_(handler) {
  handler.AddRoute(HttpRequest::Method::kGet, "/_browse",
                   [this](HttpRequest& request, const std::string& id) { Browse(request, id); });
}

namespace {
std::string Normalised(const std::string& fixed) { return fixed.empty() ? fixed : NormaliseDiskPath(fixed); }
}  // namespace

std::string FolderBrowser::FixedFolder(ftp::FtpServer& server) {
  return Normalised(control::SettingsControl(server).AdminFixedFolder());
}

bool FolderBrowser::Allows(const std::string& fixed, std::string_view path) {
  if (fixed.empty()) return true;
  if (HasDotStep(path)) return false;
  // Without dot steps the clean form differs from the text in "/" runs only,
  // which the kernel reads the same way.
  const std::string clean = NormaliseDiskPath(path);
  const bool below = fixed == "/" || clean == fixed || clean.rfind(fixed + "/", 0) == 0;
  // Links inside the fixed folder must not lead out of it either.
  return below && fileutil::StaysWithin(fixed, clean);
}

const char* FolderBrowser::RecordRefusal(const std::string& fixed,
                                         const accounts::AccountRecord& record) {
  if (fixed.empty()) return nullptr;
  if (record.mUseRootFolder && !Allows(fixed, record.RootFolder())) return kRootNotAllowed;
  for (const accounts::VirtualFolder& folder : record.VirtualFolders())
    if (!Allows(fixed, folder.Path())) return kPathNotAllowed;
  return nullptr;
}

void FolderBrowser::Browse(HttpRequest& request, const std::string& id) {
  const std::string* start = request.QueryParam("start");
  std::string folder = NormaliseDiskPath(start == nullptr ? "" : start->substr(0, kMaxStart));
  const std::string fixed = FixedFolder(handler_.Server());
  if (!Allows(fixed, folder)) folder = fixed;
  folder = AsFolder(folder);

  const AdminHandler::PageFiller filler = [&](std::string_view name, std::string* out) {
    if (name == "FULLPATH") {
      *out += EscapeHtml(folder);
    } else if (name == "FULLPATHJAVASCRIPT") {
      *out += EscapeJavaScript(folder);
    } else if (name == "UP1") {
      *out += "_browse?id=" + id + "&start=" + EncodeUrl(folder + "..");
    } else if (name == "LIST") {
      fileutil::DirectoryEnumerator walk;
      fileutil::DirectoryEntry entry;
      std::vector<std::string> names;
      if (!walk.First(folder, &entry, {.folders = true})) {
        *out += "This directory is not accessible.";
        return;
      }
      do {
        if (entry.name != "." && entry.name != "..") names.push_back(entry.name);
      } while (walk.Next(&entry));
      std::sort(names.begin(), names.end());
      for (const std::string& sub : names) {
        *out += fileutil::FormatText("<a href=\"_browse?id=%s&start=%s\">%s</a><br>\r\n", id.c_str(),
                                EncodeUrl(folder + sub).c_str(), EscapeHtml(sub).c_str());
      }
    }
  };
  handler_.Page(request, id, "_browse.html", &filler);
}

}  // namespace quillon::admin
