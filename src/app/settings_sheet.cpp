#include "app/settings_sheet.h"

#include <algorithm>

#include "admin/remote_admin_service.h"
#include "ftp/ftp_server.h"
#include "vfs/paths.h"
#include "vfs/text.h"

namespace quillon::app {

namespace {

using Guard = runtime::CriticalSection::Guard;
using runtime::IpRangeList;

constexpr std::uint32_t kHighestPort = 65535;
constexpr std::uint32_t kLowestIdle = 5;
constexpr std::string_view kIllegalMessageChars = "\"*:;'?><,|\t\n\r";
constexpr std::string_view kIllegalPasswordChars = "\";><\t\n\r";
constexpr std::string_view kIllegalFolderChars = "\"*;'?><,|\t\n\r";

bool Holds(const std::string& text, std::string_view characters) {
  return text.find_first_of(characters) != std::string::npos;
}


}  // namespace

SettingsSheet::SettingsSheet(ftp::FtpServer& server, admin::RemoteAdminService& remote_admin,
                             Prompter& prompter, ServiceManager& services)
    : server_(server), remote_admin_(remote_admin), prompter_(prompter), services_(services) {}

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
  form.run_as_service = services_.Exists(kServiceName);
  settings::ServerSettings& s = server_.Settings();
  Guard guard(s.Lock());
  form.welcome = s.mWelcomeMsg;
  form.help = s.mHelpMsg;
  form.port = s.mPort;
  form.idle_timeout = s.mIdleTimeOut;
  form.delete_to_recycle_bin = s.mDeleteToRecycleBin;
  form.show_service_icon = s.mShowNTServiceIcon;
  form.auto_hide = s.mAutoHide;
  form.auto_activate = s.mAutoActivate;
  form.use_max_upload = s.mUseMaxUploadSpeed;
  form.max_upload_kb = s.MaxUploadSpeedKb();
  form.use_max_download = s.mUseMaxDownloadSpeed;
  form.max_download_kb = s.MaxDownloadSpeedKb();
  form.use_max_users = s.mUseMaxUsers;
  form.max_users = s.mMaxUsers;
  form.use_max_per_ip = s.mUseMaxUsersPerIP;
  form.max_per_ip = s.mMaxUsersPerIP;
  form.use_banned = s.mUseBannedFiles;
  form.banned = s.mBadExts.Joined();
  form.allow_pass_change = s.mAllowPassChange;
  form.allow_site_to_site = s.mAllowSiteToSite;
  form.block_timeout_stopping = s.mBlockTimeOutStopping;
  form.anti_hammering = s.mAntiHammering;
  form.use_safe_ips = s.mUseSafeIPs;
  form.safe_ips = s.mSafeIPs;
  form.use_blocked_ips = s.mUseBlockIPs;
  form.blocked_ips = s.mBlockIPs;
  form.use_remote_admin = s.mUseRA;
  form.remote_admin_port = s.mRAPort;
  form.remote_admin_password = s.mRAPass;
  form.remote_admin_fixed = s.mRAUseFixToDir;
  form.remote_admin_folder = s.mRAFixToDir;
  return form;
}

std::string SettingsSheet::Refusal(SettingsForm* form) {
  if (form->welcome.empty()) return "Please give a welcome message.";
  if (Holds(form->welcome, kIllegalMessageChars))
    return "The welcome message contains some illegal characters.\nIllegal characters include:: "
           "\"*:,;'?<>,|";
  if (form->help.empty()) return "Please give a help message.";
  if (Holds(form->help, kIllegalMessageChars))
    return "The help message contains some illegal characters.\nIllegal characters include:: "
           "\"*:,;'?<>,|";
  if (form->port == 0 || form->port > kHighestPort)
    return "Please specify a FTP port value between 1 and 65535.";
  if (!server_.IsPortAvailable(form->port)) return "The FTP port is already in use.";
  if (form->use_max_upload && form->max_upload_kb == 0)
    return "Please specify an maximum upload speed greater than 0.";
  if (form->use_max_download && form->max_download_kb == 0)
    return "Please specify a maximum download speed greater than 0.";
  if (form->use_max_users && form->max_users == 0)
    return "Please specify a maximum number of users greater than 0.";
  if (form->use_max_per_ip && form->max_per_ip == 0)
    return "Please specify a maximum number of users per IP greater than 0.";
  if (form->idle_timeout < kLowestIdle)
    return "Please specify an idle time-out value greater than or equal to 5.";
  if (form->use_remote_admin) {
    if (form->remote_admin_password.empty()) return "Please give a password for Remote Admin.";
    if (form->remote_admin_port == 0 || form->remote_admin_port > kHighestPort)
      return "Please specify a Remote Admin port value between 1 and 65535.";
    if (!remote_admin_.IsPortAvailable(form->remote_admin_port))
      return "The Remote Admin port is already in use.";
    if (form->remote_admin_port == form->port)
      return "The Remote Admin port and FTP port are both the same.";
    if (form->remote_admin_fixed) {
      std::string& folder = form->remote_admin_folder;
      // A folder on this system is an absolute path.
      if (folder.size() < 2)
        return "The Remote Admin folder is not valid (ie. x:\\xxx or \\\\pc1\\shared).";
      if (folder[0] != '/') return "The Remote Admin is not valid (ie. x:\\xxx or \\\\pc1\\shared).";
      if (!vfs::FolderExists(folder)) return "The Remote Admin folder does not exist.";
      while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
    }
  }
  if (Holds(form->remote_admin_password, kIllegalPasswordChars))
    return "The Remote Admin password contains some illegal characters.\nIllegal characters "
           "include: \";><";
  if (Holds(form->remote_admin_folder, kIllegalFolderChars))
    return "The Remote Admin folder contains some illegal characters.\nIllegal characters include: "
           "\"*;'?><,|";
  return {};
}

bool SettingsSheet::Ok(SettingsForm form) {
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
  Store(form);
  std::string error;
  if (!server_.ApplyPortChange(&error))
    prompter_.Tell(error + ".\r\n\r\nThe FTP Server has now deactivated.", "Error",
                   Prompter::Icon::kExclamation);
  return true;
}

void SettingsSheet::Store(const SettingsForm& form) {
  settings::ServerSettings& s = server_.Settings();
  Guard guard(s.Lock());
  using settings::ServerSettings;
  vfs::CopyText(&s.mWelcomeMsg, form.welcome, ServerSettings::kMessageCapacity);
  vfs::CopyText(&s.mHelpMsg, form.help, ServerSettings::kMessageCapacity);
  s.mPort = form.port;
  s.mIdleTimeOut = form.idle_timeout;
  s.mDeleteToRecycleBin = form.delete_to_recycle_bin;
  s.mShowNTServiceIcon = form.show_service_icon;
  s.mAutoHide = form.auto_hide;
  s.mAutoActivate = form.auto_activate;
  s.mUseMaxUploadSpeed = form.use_max_upload;
  s.SetMaxUploadSpeedKb(std::min(form.max_upload_kb, ServerSettings::kHighestSpeedKb));
  s.mUseMaxDownloadSpeed = form.use_max_download;
  s.SetMaxDownloadSpeedKb(std::min(form.max_download_kb, ServerSettings::kHighestSpeedKb));
  s.mUseMaxUsers = form.use_max_users;
  s.mMaxUsers = form.max_users;
  s.mUseMaxUsersPerIP = form.use_max_per_ip;
  s.mMaxUsersPerIP = form.max_per_ip;
  s.mUseBannedFiles = form.use_banned;
  std::string banned = form.banned.substr(0, kBannedCapacity);
  vfs::ReplaceAll(&banned, kBannedCapacity + 1, ", ", ",");
  s.mBadExts.Parse(banned);
  s.mAllowPassChange = form.allow_pass_change;
  s.mAllowSiteToSite = form.allow_site_to_site;
  s.mBlockTimeOutStopping = form.block_timeout_stopping;
  s.mAntiHammering = form.anti_hammering;
  s.mUseSafeIPs = form.use_safe_ips;
  s.mSafeIPs = form.safe_ips;
  s.mUseBlockIPs = form.use_blocked_ips;
  s.mBlockIPs = form.blocked_ips;
  s.mUseRA = form.use_remote_admin;
  s.mRAPort = form.remote_admin_port;
  vfs::CopyText(&s.mRAPass, form.remote_admin_password, ServerSettings::kMessageCapacity);
  s.mRAUseFixToDir = form.remote_admin_fixed;
  vfs::CopyText(&s.mRAFixToDir, form.remote_admin_folder, ServerSettings::kFolderCapacity);
}

bool SettingsSheet::AddToList(Prompter& prompter, IpRangeList* list, const std::string& lower,
                              const std::string* upper) {
  if (!IpRangeList::IsValidAddress(lower) || (upper != nullptr && !IpRangeList::IsValidAddress(*upper))) {
    prompter.Tell("That is not a valid IP address.", "Error", Prompter::Icon::kExclamation);
    return false;
  }
  const runtime::IpAddress first = IpRangeList::ParseAddress(lower);
  const runtime::IpAddress last = upper != nullptr ? IpRangeList::ParseAddress(*upper) : first;
  if (last < first) {
    prompter.Tell("The 'Upper IP' was lower than the 'Lower IP'.", "Error",
                   Prompter::Icon::kExclamation);
    return false;
  }
  list->AddRange(first, last);
  return true;
}

void SettingsSheet::BlockAll(IpRangeList* list) {
  list->AddRange(IpRangeList::ParseAddress("0.0.0.0"), IpRangeList::ParseAddress("255.255.255.255"));
}

}  // namespace quillon::app
