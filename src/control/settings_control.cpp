#include "control/settings_control.h"

#include <algorithm>

#include "ftp/ftp_server.h"
#include "runtime/critical_section.h"
#include "settings/server_settings.h"
#include "fileutil/paths.h"
#include "fileutil/stored_password.h"
#include "fileutil/text.h"

namespace quillon::control {

namespace {

using Guard = runtime::CriticalSection::Guard;
using settings::ServerSettings;

bool Holds(const std::string& text, std::string_view characters) {
  return text.find_first_of(characters) != std::string::npos;
}

bool IsPort(std::uint32_t port) { return port != 0 && port <= SettingsControl::kHighestPort; }

// The checks of the remote admin's fields, which only the desktop edits.
SettingsFault AdminFault(SettingsSnapshot* values, RemoteAdminListener& listener) {
  if (values->use_remote_admin) {
    if (values->remote_admin_password.empty()) return SettingsFault::kAdminPasswordEmpty;
    if (!IsPort(values->remote_admin_port)) return SettingsFault::kAdminPortOutOfRange;
    if (!listener.IsPortAvailable(values->remote_admin_port)) return SettingsFault::kAdminPortInUse;
    if (values->remote_admin_port == values->port) return SettingsFault::kAdminPortIsFtpPort;
    if (values->remote_admin_fixed) {
      std::string& folder = values->remote_admin_folder;
      // A folder on this system is an absolute path.
      if (folder.size() < 2) return SettingsFault::kAdminFolderTooShort;
      if (folder[0] != '/') return SettingsFault::kAdminFolderNotAbsolute;
      if (!fileutil::FolderExists(folder)) return SettingsFault::kAdminFolderMissing;
      while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
    }
  }
  // Checked with the remote admin off too: they are stored all the same.
  if (Holds(values->remote_admin_password, SettingsControl::kIllegalPasswordChars))
    return SettingsFault::kAdminPasswordIllegalChars;
  if (Holds(values->remote_admin_folder, SettingsControl::kIllegalFolderChars))
    return SettingsFault::kAdminFolderIllegalChars;
  return SettingsFault::kNone;
}

}  // namespace

SettingsControl::SettingsControl(ftp::FtpServer& server, RemoteAdminListener* remote_admin)
    : server_(server), remote_admin_(remote_admin) {}

SettingsSnapshot SettingsControl::Read() const {
  ServerSettings& s = server_.Settings();
  Guard guard(s.Lock());
  return ReadLocked(s);
}

SettingsSnapshot SettingsControl::ReadLocked(const ServerSettings& s) {
  SettingsSnapshot v;
  v.welcome = s.mWelcomeMsg;
  v.help = s.mHelpMsg;
  v.port = s.mPort;
  v.idle_timeout = s.mIdleTimeOut;
  v.delete_to_recycle_bin = s.mDeleteToRecycleBin;
  v.show_service_icon = s.mShowNTServiceIcon;
  v.auto_hide = s.mAutoHide;
  v.auto_activate = s.mAutoActivate;
  v.use_max_upload = s.mUseMaxUploadSpeed;
  v.max_upload_kb = s.MaxUploadSpeedKb();
  v.use_max_download = s.mUseMaxDownloadSpeed;
  v.max_download_kb = s.MaxDownloadSpeedKb();
  v.use_max_users = s.mUseMaxUsers;
  v.max_users = s.mMaxUsers;
  v.use_max_per_ip = s.mUseMaxUsersPerIP;
  v.max_per_ip = s.mMaxUsersPerIP;
  v.use_banned = s.mUseBannedFiles;
  v.banned = s.mBadExts.Joined();
  v.allow_pass_change = s.mAllowPassChange;
  v.allow_site_to_site = s.mAllowSiteToSite;
  v.block_timeout_stopping = s.mBlockTimeOutStopping;
  v.anti_hammering = s.mAntiHammering;
  v.use_safe_ips = s.mUseSafeIPs;
  v.safe_ips = s.mSafeIPs;
  v.use_blocked_ips = s.mUseBlockIPs;
  v.blocked_ips = s.mBlockIPs;
  v.use_remote_admin = s.mUseRA;
  v.remote_admin_port = s.mRAPort;
  v.remote_admin_password = s.mRAPass;
  v.remote_admin_fixed = s.mRAUseFixToDir;
  v.remote_admin_folder = s.mRAFixToDir;
  return v;
}

SettingsFault SettingsControl::Check(SettingsSnapshot* values, SettingsScope scope) {
  return CheckWith(values, scope, [this](std::uint32_t port) { return server_.IsPortAvailable(port); },
                   remote_admin_);
}

SettingsFault SettingsControl::CheckWith(SettingsSnapshot* values, SettingsScope scope,
                                         const std::function<bool(std::uint32_t)>& ftp_port_free,
                                         RemoteAdminListener* remote_admin) {
  if (scope == SettingsScope::kIpLists) return SettingsFault::kNone;
  const SettingsSnapshot& v = *values;
  if (v.welcome.empty()) return SettingsFault::kWelcomeEmpty;
  if (Holds(v.welcome, kIllegalMessageChars)) return SettingsFault::kWelcomeIllegalChars;
  if (v.help.empty()) return SettingsFault::kHelpEmpty;
  if (Holds(v.help, kIllegalMessageChars)) return SettingsFault::kHelpIllegalChars;
  if (!IsPort(v.port)) return SettingsFault::kPortOutOfRange;
  if (!ftp_port_free(v.port)) return SettingsFault::kPortInUse;
  if (v.use_max_upload && v.max_upload_kb == 0) return SettingsFault::kUploadSpeedZero;
  if (v.use_max_download && v.max_download_kb == 0) return SettingsFault::kDownloadSpeedZero;
  if (v.use_max_users && v.max_users == 0) return SettingsFault::kMaxUsersZero;
  if (v.use_max_per_ip && v.max_per_ip == 0) return SettingsFault::kMaxPerIpZero;
  if (v.idle_timeout < kLowestIdle) return SettingsFault::kIdleTooShort;
  if (scope == SettingsScope::kGeneral) return SettingsFault::kNone;
  return AdminFault(values, *remote_admin);
}

void SettingsControl::Store(const SettingsSnapshot& v, SettingsScope scope) {
  ServerSettings& s = server_.Settings();
  Guard guard(s.Lock());
  if (scope != SettingsScope::kIpLists) {
    fileutil::CopyText(&s.mWelcomeMsg, v.welcome, ServerSettings::kMessageCapacity);
    fileutil::CopyText(&s.mHelpMsg, v.help, ServerSettings::kMessageCapacity);
    s.mPort = v.port;
    s.mIdleTimeOut = v.idle_timeout;
    s.mDeleteToRecycleBin = v.delete_to_recycle_bin;
    s.mUseMaxUploadSpeed = v.use_max_upload;
    // Speeds are kept in bytes per second: what 32 bits hold at most.
    s.SetMaxUploadSpeedKb(std::min(v.max_upload_kb, ServerSettings::kHighestSpeedKb));
    s.mUseMaxDownloadSpeed = v.use_max_download;
    s.SetMaxDownloadSpeedKb(std::min(v.max_download_kb, ServerSettings::kHighestSpeedKb));
    s.mUseMaxUsers = v.use_max_users;
    s.mMaxUsers = v.max_users;
    s.mUseMaxUsersPerIP = v.use_max_per_ip;
    s.mMaxUsersPerIP = v.max_per_ip;
    s.mUseBannedFiles = v.use_banned;
    s.mBadExts.Parse(v.banned);
    s.mAllowPassChange = v.allow_pass_change;
    s.mAllowSiteToSite = v.allow_site_to_site;
    s.mBlockTimeOutStopping = v.block_timeout_stopping;
    s.mAntiHammering = v.anti_hammering;
  }
  if (scope != SettingsScope::kGeneral) {
    s.mUseSafeIPs = v.use_safe_ips;
    s.mSafeIPs = v.safe_ips;
    s.mUseBlockIPs = v.use_blocked_ips;
    s.mBlockIPs = v.blocked_ips;
  }
  if (scope == SettingsScope::kAll) {
    s.mShowNTServiceIcon = v.show_service_icon;
    s.mAutoHide = v.auto_hide;
    s.mAutoActivate = v.auto_activate;
    s.mUseRA = v.use_remote_admin;
    s.mRAPort = v.remote_admin_port;
    // A password that cannot be hashed leaves the one stored before.
    std::string unhashed;
    [[maybe_unused]] const bool stored = s.SetAdminPassword(v.remote_admin_password, &unhashed);
    s.mRAUseFixToDir = v.remote_admin_fixed;
    fileutil::CopyText(&s.mRAFixToDir, v.remote_admin_folder, ServerSettings::kFolderCapacity);
  }
}

bool SettingsControl::ApplyPortChange(std::string* error) { return server_.ApplyPortChange(error); }

void SettingsControl::StoreAdminLogNumber(std::uint32_t number) {
  ServerSettings& s = server_.Settings();
  Guard guard(s.Lock());
  s.mRALogStartVal = number;
}

bool SettingsControl::Save(std::uint32_t admin_log_number) {
  StoreAdminLogNumber(admin_log_number);
  return server_.Save();
}

CommitResult SettingsControl::ApplyAndSave(std::uint32_t admin_log_number, std::string* error) {
  if (!ApplyPortChange(error)) return CommitResult::kPortNotApplied;
  return Save(admin_log_number) ? CommitResult::kDone : CommitResult::kNotSaved;
}

CommitResult SettingsControl::Commit(const SettingsSnapshot& values, SettingsScope scope,
                                     std::uint32_t admin_log_number, std::string* error) {
  Store(values, scope);
  return ApplyAndSave(admin_log_number, error);
}

std::string SettingsControl::ExtraValue(const char* key) const {
  ServerSettings& s = server_.Settings();
  Guard guard(s.Lock());
  std::string value;
  if (!s.Extra().Get(key, &value)) value.clear();
  return value;
}

std::uint32_t SettingsControl::AdminLogNumber() const {
  ServerSettings& s = server_.Settings();
  Guard guard(s.Lock());
  return s.mRALogStartVal;
}

bool SettingsControl::AdminPasswordMatches(std::string_view password) const {
  ServerSettings& s = server_.Settings();
  std::string field;
  {
    Guard guard(s.Lock());
    field = s.mRAPass;
  }
  // Checked outside the lock: a hash takes milliseconds, and sessions read
  // the settings meanwhile.
  return !field.empty() && fileutil::StoredPasswordMatches(password, field);
}

void SettingsControl::HashAdminPasswordAfterLogin(std::string_view password) {
  ServerSettings& s = server_.Settings();
  std::string field, error;
  {
    Guard guard(s.Lock());
    if (!s.Extra().HashPasswords() || fileutil::IsPasswordHash(s.mRAPass) || s.mRAPass != password) return;
  }
  if (!fileutil::StoredPasswordForm(password, true, &field, &error)) return;
  {
    Guard guard(s.Lock());
    // Changed meanwhile: the newer password stays.
    if (s.mRAPass != password) return;
    s.mRAPass = field;
  }
  [[maybe_unused]] const bool saved = server_.Save();
}

std::string SettingsControl::AdminFixedFolder() const {
  ServerSettings& settings = server_.Settings();
  Guard guard(settings.Lock());
  return settings.mRAUseFixToDir ? settings.mRAFixToDir : std::string();
}

bool SettingsControl::AdminTlsContext(std::shared_ptr<const platform::TlsContext>* context,
                                      std::string* error) const {
  context->reset();
  ServerSettings& s = server_.Settings();
  {
    Guard guard(s.Lock());
    if (!s.Extra().AdminTls()) return true;
  }
  // The certificate the FTP side loaded at its activation (as root, when the
  // service started as root), so a key only root may read serves too...
  if (const ftp::TlsConfig::Rules rules = server_.Tls().Get(); rules.admin && rules.context != nullptr) {
    *context = rules.context;
    return true;
  }
  // ...else it is read now. Without it the remote admin does not start,
  // rather than take the password in clear text against the settings' word.
  ftp::TlsConfig own;
  bool loaded;
  {
    Guard guard(s.Lock());
    loaded = own.Configure(s.Extra(), error);
  }
  if (!loaded || own.Get().context == nullptr) return false;
  *context = own.Get().context;
  return true;
}

SettingsControl::ServingUser SettingsControl::ServiceUser() const {
  ServingUser serving;
  ServerSettings& s = server_.Settings();
  Guard guard(s.Lock());
  const settings::ExtraSettings& extra = s.Extra();
  if (extra.Tls() != settings::ExtraSettings::TlsMode::kOff || extra.AdminTls())
    serving.root_reads = {extra.TlsCertificate(), extra.TlsKey()};
  serving.user = extra.RunAsUser();
  // The API tokens say who may use the remote admin's port: root trusts
  // that file only as it trusts its own.
  const std::string tokens = ftp::FtpServer::ApiTokensPath(server_.ProgramFolder());
  if (fileutil::PathExists(tokens)) serving.root_reads.push_back(tokens);
  return serving;
}

}  // namespace quillon::control
