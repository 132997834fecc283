// The server-wide settings as every face edits them: a snapshot copied out
// under the settings lock, the checks of an edited snapshot in the order the
// faces report them, the store under the lock, the FTP port change and the
// save. Each face words a fault in its own text.
//
// The remote admin's listener belongs to whoever runs the remote admin; the
// checks reach it through RemoteAdminListener.
//
// A SettingsControl holds only references, so a face may make one per
// request. Thread-safety: any thread; the settings lock is taken inside and
// never held across the port change or the save.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/ip_range_list.h"

namespace quillon::ftp {
class FtpServer;
}
namespace quillon::platform {
class TlsContext;
}
namespace quillon::settings {
class ServerSettings;
}

namespace quillon::control {

// Everything a face edits. Numbers as the face read them; speeds in KB/s.
struct SettingsSnapshot {
  // General
  std::string welcome;
  std::string help;
  std::uint32_t port = 0;
  std::uint32_t idle_timeout = 0;
  bool delete_to_recycle_bin = false;
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
  std::string banned;  // "exe,com"
  bool allow_pass_change = false;
  bool allow_site_to_site = false;
  bool block_timeout_stopping = false;
  bool anti_hammering = false;
  // IP lists
  bool use_safe_ips = false;
  runtime::IpRangeList safe_ips;
  bool use_blocked_ips = false;
  runtime::IpRangeList blocked_ips;
  // Remote admin
  bool use_remote_admin = false;
  std::uint32_t remote_admin_port = 0;
  std::string remote_admin_password;
  bool remote_admin_fixed = false;
  std::string remote_admin_folder;
};

// Which fields of a snapshot a face edits, and so which it checks and stores.
enum class SettingsScope {
  // Messages, FTP port, idle time-out, limits with their switches, banned
  // types, the FTP switches and the recycle bin: the remote admin's page.
  kGeneral,
  // The safe and blocked lists with their switches.
  kIpLists,
  // All fields: the desktop's sheet.
  kAll,
};

// The first fault of a snapshot, in the order the faces report them.
enum class SettingsFault {
  kNone,
  kWelcomeEmpty,
  kWelcomeIllegalChars,
  kHelpEmpty,
  kHelpIllegalChars,
  kPortOutOfRange,
  kPortInUse,
  kUploadSpeedZero,
  kDownloadSpeedZero,
  kMaxUsersZero,
  kMaxPerIpZero,
  kIdleTooShort,
  // kAll only; the first five while the remote admin is in use.
  kAdminPasswordEmpty,
  kAdminPortOutOfRange,
  kAdminPortInUse,
  kAdminPortIsFtpPort,
  kAdminFolderTooShort,
  kAdminFolderNotAbsolute,
  kAdminFolderMissing,
  kAdminPasswordIllegalChars,
  kAdminFolderIllegalChars,
};

// What became of Commit or ApplyAndSave.
enum class CommitResult {
  kDone,
  kPortNotApplied,  // *error holds the engine's text; the service deactivated, nothing saved
  kNotSaved,
};

// The remote admin's listener as the checks need it.
class RemoteAdminListener {
 public:
  virtual ~RemoteAdminListener() = default;
  // True when the listener could open `port` (its own port counts as free).
  virtual bool IsPortAvailable(std::uint32_t port) = 0;
};

class SettingsControl {
 public:
  static constexpr std::uint32_t kHighestPort = 65535;
  static constexpr std::uint32_t kLowestIdle = 5;
  static constexpr std::string_view kIllegalMessageChars = "\"*:;'?><,|\t\n\r";
  static constexpr std::string_view kIllegalPasswordChars = "\";><\t\n\r";
  static constexpr std::string_view kIllegalFolderChars = "\"*;'?><,|\t\n\r";

  // `remote_admin` may be null for a face that never checks kAll.
  explicit SettingsControl(ftp::FtpServer& server, RemoteAdminListener* remote_admin = nullptr);

  // All fields, copied under the settings lock.
  SettingsSnapshot Read() const;
  // All fields of `settings`. REQUIRES: its lock held.
  static SettingsSnapshot ReadLocked(const settings::ServerSettings& settings);

  // The first fault of `values` within `scope` (kIpLists has none). Under
  // kAll a fixed folder in use that exists loses its trailing slashes.
  // REQUIRES: a RemoteAdminListener when `scope` is kAll.
  [[nodiscard]] SettingsFault Check(SettingsSnapshot* values, SettingsScope scope);
  // The same checks where no server runs on the settings: `ftp_port_free`
  // tells whether the FTP port may be opened. REQUIRES: `remote_admin` when
  // `scope` is kAll.
  [[nodiscard]] static SettingsFault CheckWith(SettingsSnapshot* values, SettingsScope scope,
                                               const std::function<bool(std::uint32_t)>& ftp_port_free,
                                               RemoteAdminListener* remote_admin);
  // Stores the fields of `scope` under the settings lock: texts cut to their
  // capacity, speeds to what the settings hold. Nothing is applied or saved.
  void Store(const SettingsSnapshot& values, SettingsScope scope);
  // Moves a listening FTP service to the stored port. False with *error,
  // the engine's text, when it could not: the service is then deactivated.
  [[nodiscard]] bool ApplyPortChange(std::string* error);
  // Keeps the remote admin log's number in the settings, for the next save.
  void StoreAdminLogNumber(std::uint32_t number);
  // StoreAdminLogNumber, then saves the settings, accounts and groups;
  // false when any save failed.
  [[nodiscard]] bool Save(std::uint32_t admin_log_number);
  // ApplyPortChange, then (only when it succeeded) Save.
  [[nodiscard]] CommitResult ApplyAndSave(std::uint32_t admin_log_number, std::string* error);
  // Store, then ApplyAndSave. REQUIRES: Check found no fault.
  [[nodiscard]] CommitResult Commit(const SettingsSnapshot& values, SettingsScope scope,
                                    std::uint32_t admin_log_number, std::string* error);

  // The value of quillon.conf's `key` as text; "" when unknown or unset.
  std::string ExtraValue(const char* key) const;
  // The remote admin log's number kept by the last save.
  std::uint32_t AdminLogNumber() const;
  // True when the remote admin has a password and `password` is it: an
  // unset password opens nothing.
  bool AdminPasswordMatches(std::string_view password) const;
  // After a login with the right `password`: where quillon.conf asks for
  // hashed passwords and the stored one is not yet a hash, it becomes its
  // hash and the settings are saved. Best effort: a failure keeps the field.
  void HashAdminPasswordAfterLogin(std::string_view password);
  // The remote admin's fixed folder as stored; "" when the rule is off.
  std::string AdminFixedFolder() const;
  // The certificate the remote admin serves with: null (and true) when it
  // speaks plain HTTP; the one the FTP side loaded at activation, else read
  // now. False with *error when HTTPS is asked for and cannot be had.
  [[nodiscard]] bool AdminTlsContext(std::shared_ptr<const platform::TlsContext>* context,
                                     std::string* error) const;

  // Who a service started as root serves as, and the files root must read
  // before it changes to that user (the certificate and key, when TLS is on
  // for FTP or the remote admin, and the API token file when there is one).
  struct ServingUser {
    std::string user;
    std::vector<std::string> root_reads;
  };
  ServingUser ServiceUser() const;

 private:
  ftp::FtpServer& server_;
  RemoteAdminListener* const remote_admin_;
};

}  // namespace quillon::control
