// The rules of the desktop's settings sheet: the values it shows (copied
// under the settings lock when it opens), the checks of its OK button in
// their order, the service installation, the store under the lock and the
// engine's port change, and the IP list edits of its "IP Restrictions" tab.
// The sheet's window only shows a SettingsForm and collects it again.
//
// Thread-safety: the desktop's thread only; the settings lock is held while
// values are copied in or out, never across the port change.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/prompter.h"
#include "app/service_manager.h"
#include "runtime/ip_range_list.h"

namespace quillon::ftp {
class FtpServer;
}
namespace quillon::admin {
class RemoteAdminService;
}

namespace quillon::app {

// Everything the sheet's five tabs edit. Numbers are what the boxes hold
// (an empty box reads as 0); speeds in KB/s.
struct SettingsForm {
  // General
  std::string welcome;
  std::string help;
  std::uint32_t port = 0;
  std::uint32_t idle_timeout = 0;
  bool delete_to_recycle_bin = false;
  bool run_as_service = false;
  bool show_service_icon = false;
  bool auto_hide = false;
  bool auto_activate = false;
  // Limits
  bool use_max_upload = false;
  std::uint32_t max_upload_kb = 0;
  bool use_max_download = false;
  std::uint32_t max_download_kb = 0;
  bool use_max_users = false;
  std::uint32_t max_users = 0;
  bool use_max_per_ip = false;
  std::uint32_t max_per_ip = 0;
  bool use_banned = false;
  std::string banned;  // "exe, com"
  bool allow_pass_change = false;
  bool allow_site_to_site = false;
  bool block_timeout_stopping = false;
  bool anti_hammering = false;
  // IP Restrictions
  bool use_safe_ips = false;
  runtime::IpRangeList safe_ips;
  bool use_blocked_ips = false;
  runtime::IpRangeList blocked_ips;
  // Remote Admin
  bool use_remote_admin = false;
  std::uint32_t remote_admin_port = 0;
  std::string remote_admin_password;
  bool remote_admin_fixed = false;
  std::string remote_admin_folder;
};

class SettingsSheet {
 public:
  // The most characters the boxes take.
  static constexpr std::size_t kMessageLength = 99;  // welcome, help, password
  static constexpr std::size_t kBannedCapacity = 1024;
  static constexpr std::size_t kFolderLength = 256;
  static constexpr const char* kServiceWarning =
      "Running as a service will not take effect until you reboot\nor select the 'Start NT "
      "Service' button on the main dialog.\n\nWhen running in service mode, you will only be "
      "able to\ncontrol the application via the 'Remote Admin' facility.\nYou can stop the "
      "service at any time and return to normal\nmode by manually running Quillon FTP Server "
      "and selecting\nthe 'End Service' button.";

  SettingsSheet(ftp::FtpServer& server, admin::RemoteAdminService& remote_admin,
                Prompter& prompter, ServiceManager& services);

  // An edit box's number: 0 when empty, its digits otherwise (saturating).
  static std::uint32_t ReadNumberBox(std::string_view text);

  // The values to show, copied under the settings lock.
  SettingsForm Read();
  // The first check that fails, in the sheet's order ("" when none); on
  // success the folder loses its trailing slashes.
  std::string Refusal(SettingsForm* form);
  // The OK button: checks (an "Input Error" box), the service install or
  // removal, the store and the port change. False keeps the sheet open.
  bool Ok(SettingsForm form);

  // "Add" and "Add Range" of an IP list (`upper` null for one address).
  // False, with the message shown, for an address that is not valid or an
  // upper address below the lower one.
  static bool AddToList(Prompter& prompter, runtime::IpRangeList* list, const std::string& lower,
                        const std::string* upper);
  // "Block All": the whole address space.
  static void BlockAll(runtime::IpRangeList* list);

 private:
  void Store(const SettingsForm& form);

  ftp::FtpServer& server_;
  admin::RemoteAdminService& remote_admin_;
  Prompter& prompter_;
  ServiceManager& services_;
};

}  // namespace quillon::app
