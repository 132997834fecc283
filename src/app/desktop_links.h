// What the desktop opens in other programs: internet-shortcut files (the
// remote admin's address in "admin.url", the web pages of the help dialog in
// "qfssite.url"), handed to the desktop's opener (xdg-open), and the local
// manual when it is installed beside the program.
//
// Thread-safety: free functions; the files are the caller's to share.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace quillon::app {

inline constexpr const char* kAdminShortcutName = "admin.url";
inline constexpr const char* kSiteShortcutName = "qfssite.url";

// The web pages of the help dialog.
inline constexpr const char* kManualPage = "https://quillon-ftp.example.org/manual/setup.html";
inline constexpr const char* kContactPage = "https://quillon-ftp.example.org/contact.html";
inline constexpr const char* kHomePage = "https://quillon-ftp.example.org/";
// Local copies of the manual pages, beside the program when installed.
inline constexpr const char* kLocalManual = "manual/quillonftpserver/setup.html";
inline constexpr const char* kLocalContact = "manual/contact.html";

// The remote admin on this machine: "http://localhost:PORT/", without the
// port when it is 80.
std::string RemoteAdminAddress(std::uint32_t port);

// Replaces `path` with "[InternetShortcut]" and "URL=" `url`, each line ended
// by CR LF. False when the file could not be written whole.
[[nodiscard]] bool WriteInternetShortcut(const std::string& path, const std::string& url);

// Hands a file or an address to the desktop's opener (the address itself,
// not its shortcut file); false when it could not be started.
[[nodiscard]] bool OpenOnDesktop(const std::string& target);

// What one help button opens: the local page's path when `local` exists
// below `program_folder`, otherwise `page`, once "qfssite.url" has been
// rewritten to it (`local` may be null). "" when the shortcut could not be
// written.
std::string HelpTarget(const std::string& program_folder, const char* local, const char* page);

// What the service-running dialog offers: "Open Remote Admin" only when the
// installation's settings load and use the remote admin.
class ServiceRunningChoice {
 public:
  ServiceRunningChoice(platform::Clock& clock, std::string program_folder);
  bool RemoteAdminOffered() const { return offered_; }
  // Rewrites "admin.url" beside the program with the remote admin's address
  // and, when written, opens the address.
  void OpenRemoteAdmin() const;

 private:
  const std::string folder_;
  bool offered_ = false;
  std::uint32_t port_ = 0;
};

}  // namespace quillon::app
