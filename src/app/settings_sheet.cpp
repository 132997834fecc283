#include "app/settings_sheet.h"

#include <algorithm>

#include "app/password_box.h"
#include "admin/remote_admin_service.h"
#include "control/ip_list_control.h"
#include "fileutil/text.h"

namespace quillon::app {

namespace {

using control::IpAddFault;
using control::IpListControl;
using control::SettingsControl;
using control::SettingsFault;
using control::SettingsScope;
using runtime::IpRangeList;

// The sheet's text for each fault, shown in an "Input Error" box.
const char* RefusalText(SettingsFault fault) {
  switch (fault) {
    case SettingsFault::kNone: return "";
    case SettingsFault::kWelcomeEmpty: return "Please give a welcome message.";
    case SettingsFault::kWelcomeIllegalChars:
      return "The welcome message contains some illegal characters.\nIllegal characters include:: "
             "\"*:,;'?<>,|";
    case SettingsFault::kHelpEmpty: return "Please give a help message.";
    case SettingsFault::kHelpIllegalChars:
      return "The help message contains some illegal characters.\nIllegal characters include:: "
             "\"*:,;'?<>,|";
    case SettingsFault::kPortOutOfRange: return "Please specify a FTP port value between 1 and 65535.";
    case SettingsFault::kPortInUse: return "The FTP port is already in use.";
    case SettingsFault::kUploadSpeedZero: return "Please specify an maximum upload speed greater than 0.";
    case SettingsFault::kDownloadSpeedZero: return "Please specify a maximum download speed greater than 0.";
    case SettingsFault::kMaxUsersZero: return "Please specify a maximum number of users greater than 0.";
    case SettingsFault::kMaxPerIpZero: return "Please specify a maximum number of users per IP greater than 0.";
    case SettingsFault::kIdleTooShort: return "Please specify an idle time-out value greater than or equal to 5.";
    case SettingsFault::kAdminPasswordEmpty: return "Please give a password for Remote Admin.";
    case SettingsFault::kAdminPortOutOfRange: return "Please specify a Remote Admin port value between 1 and 65535.";
    case SettingsFault::kAdminPortInUse: return "The Remote Admin port is already in use.";
    case SettingsFault::kAdminPortIsFtpPort: return "The Remote Admin port and FTP port are both the same.";
    case SettingsFault::kAdminFolderTooShort:
      return "The Remote Admin folder is not valid (ie. x:\\xxx or \\\\pc1\\shared).";
    case SettingsFault::kAdminFolderNotAbsolute:
      return "The Remote Admin is not valid (ie. x:\\xxx or \\\\pc1\\shared).";
    case SettingsFault::kAdminFolderMissing: return "The Remote Admin folder does not exist.";
    case SettingsFault::kAdminPasswordIllegalChars:
      return "The Remote Admin password contains some illegal characters.\nIllegal characters "
             "include: \";><";
    case SettingsFault::kAdminFolderIllegalChars:
      return "The Remote Admin folder contains some illegal characters.\nIllegal characters include: "
             "\"*;'?><,|";
  }
  return "";
}

}  // namespace

SettingsSheet::SettingsSheet(ftp::FtpServer& server, admin::RemoteAdminService& remote_admin,
                             Prompter& prompter, ServiceManager& services)
    : server_(server), remote_admin_(remote_admin), prompter_(prompter), services_(services) {}

RecordList SettingsSheet::Records(bool groups) { return RecordList(server_, groups, prompter_); }

std::uint32_t SettingsSheet::ReadNumberBox(std::string_view text) {
  std::uint64_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') break;
    value = std::min<std::uint64_t>(0xFFFFFFFFu, value * 10 + static_cast<unsigned>(ch - '0'));
  }
  return static_cast<std::uint32_t>(value);
}

SettingsForm SettingsSheet::Read() {
  SettingsForm form;
  static_cast<control::SettingsSnapshot&>(form) = SettingsControl(server_).Read();
  form.remote_admin_password = PasswordShown(form.remote_admin_password);
  form.run_as_service = services_.Exists(kServiceName);
  return form;
}

std::string SettingsSheet::Refusal(SettingsForm* form) {
  return RefusalText(SettingsControl(server_, &remote_admin_).Check(form, SettingsScope::kAll));
}

bool SettingsSheet::Ok(SettingsForm form) {
  form.remote_admin_password =
      PasswordFromBox(form.remote_admin_password, SettingsControl(server_).Read().remote_admin_password);
  if (const std::string refusal = Refusal(&form); !refusal.empty()) {
    prompter_.Tell(refusal, "Input Error", Prompter::Icon::kExclamation);
    return false;
  }
  const bool installed = services_.Exists(kServiceName);
  if (form.run_as_service && !installed) {
    if (!services_.Install(kServiceName, kServiceDisplayName, kServiceArgument)) {
      prompter_.Tell("Unable to create the NT Service. Please ensure that your\noperating system "
                     "supports this option and that your login\naccount has 'administration "
                     "level' permission.",
                     "Warning", Prompter::Icon::kExclamation);
      return false;
    }
  } else if (!form.run_as_service && installed && !services_.Remove(kServiceName)) {
    prompter_.Tell("Unable to remove NT Service.", "Warning", Prompter::Icon::kExclamation);
  }
  // The box shows ", " between types; the settings keep ",".
  form.banned.resize(std::min(form.banned.size(), kBannedCapacity));
  fileutil::ReplaceAll(&form.banned, kBannedCapacity + 1, ", ", ",");
  SettingsControl(server_, &remote_admin_).Store(form, SettingsScope::kAll);
  ApplyPortChange(server_, prompter_);
  return true;
}

void SettingsSheet::ApplyPortChange(ftp::FtpServer& server, Prompter& prompter) {
  std::string error;
  if (!SettingsControl(server).ApplyPortChange(&error))
    prompter.Tell(error + ".\r\n\r\nThe FTP Server has now deactivated.", "Error", Prompter::Icon::kExclamation);
}

bool SettingsSheet::AddToList(Prompter& prompter, IpRangeList* list, const std::string& lower,
                              const std::string* upper) {
  const IpAddFault fault = IpListControl::Add(list, lower, upper);
  if (fault == IpAddFault::kNone) return true;
  prompter.Tell(fault == IpAddFault::kUpperBelowLower ? "The 'Upper IP' was lower than the 'Lower IP'."
                                                      : "That is not a valid IP address.",
                "Error", Prompter::Icon::kExclamation);
  return false;
}

void SettingsSheet::BlockAll(IpRangeList* list) { IpListControl::BlockAll(list); }

const char* SettingsSheet::BlockAllQuestion() { return IpListControl::kBlockAllQuestion; }

}  // namespace quillon::app
