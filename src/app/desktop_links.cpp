#include "app/desktop_links.h"

#include "platform/process.h"
#include "control/settings_file.h"
#include "fileutil/file_handle.h"
#include "fileutil/file_writer.h"
#include "fileutil/paths.h"

namespace quillon::app {

std::string RemoteAdminAddress(std::uint32_t port) {
  std::string address = "http://localhost";
  if (port != 80) address += ":" + std::to_string(port);
  return address + "/";
}

bool WriteInternetShortcut(const std::string& path, const std::string& url) {
  fileutil::FileWriter writer;
  return writer.ReplaceFile(path, "[InternetShortcut]\r\nURL=" + url + "\r\n",
                            fileutil::FileHandle::kSharedFile);
}

bool OpenOnDesktop(const std::string& target) {
  const std::string opener = platform::FindProgram("xdg-open");
  int pid = 0;
  return !opener.empty() && platform::SpawnDetached({opener, target}, &pid);
}

std::string HelpTarget(const std::string& program_folder, const char* local, const char* page) {
  if (local != nullptr) {
    const std::string path = program_folder + "/" + local;
    if (fileutil::FileExists(path)) return path;
  }
  return WriteInternetShortcut(program_folder + "/" + kSiteShortcutName, page) ? page : "";
}

ServiceRunningChoice::ServiceRunningChoice(platform::Clock& clock, std::string program_folder)
    : folder_(std::move(program_folder)) {
  control::SettingsFile file(clock, folder_ + "/config/settings.dta");
  const bool loaded = file.Load();
  const control::SettingsSnapshot settings = file.Read();
  offered_ = loaded && settings.use_remote_admin;
  port_ = settings.remote_admin_port;
}

void ServiceRunningChoice::OpenRemoteAdmin() const {
  const std::string address = RemoteAdminAddress(port_);
  if (WriteInternetShortcut(folder_ + "/" + kAdminShortcutName, address)) {
    [[maybe_unused]] const bool opened = OpenOnDesktop(address);
  }
}

}  // namespace quillon::app
