// The desktop's settings sheet: the values it shows, the texts of the checks
// of its OK button, the service installation, and the store and port change
// (through control::SettingsControl), and the IP list edits of its "IP
// Restrictions" tab with their texts. The sheet's window only shows a
// SettingsForm and collects it again.
//
// Thread-safety: the desktop's thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/prompter.h"
#include "app/record_list.h"
#include "app/service_manager.h"
#include "control/settings_control.h"
#include "runtime/ip_range_list.h"

namespace quillon::ftp {
class FtpServer;
}
namespace quillon::admin {
class RemoteAdminService;
}

namespace quillon::app {

// Everything the sheet's five tabs edit: the settings (numbers as the boxes
// hold them, an empty box reading as 0) and whether the service is installed.
struct SettingsForm : control::SettingsSnapshot {
  bool run_as_service = false;
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

  // The values to show.
  SettingsForm Read();
  // The first check that fails, in the sheet's order ("" when none); on
  // success the folder loses its trailing slashes.
  std::string Refusal(SettingsForm* form);
  // The OK button: checks (an "Input Error" box), the service install or
  // removal, the store and the port change. False keeps the sheet open.
  bool Ok(SettingsForm form);

  // The account list (or, with `groups`, the group list) that the
  // "Accounts" tab opens.
  RecordList Records(bool groups);

  // "Add" and "Add Range" of an IP list (`upper` null for one address).
  // False, with the message shown, for an address that is not valid or an
  // upper address below the lower one.
  static bool AddToList(Prompter& prompter, runtime::IpRangeList* list, const std::string& lower,
                        const std::string* upper);
  // "Block All": the whole address space, and what the button asks first.
  static void BlockAll(runtime::IpRangeList* list);
  static const char* BlockAllQuestion();

  // Moves a listening FTP service to the stored port; when it cannot, the
  // service is deactivated and the user is told why.
  static void ApplyPortChange(ftp::FtpServer& server, Prompter& prompter);

 private:
  ftp::FtpServer& server_;
  admin::RemoteAdminService& remote_admin_;
  Prompter& prompter_;
  ServiceManager& services_;
};

}  // namespace quillon::app
