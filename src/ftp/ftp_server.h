// The FTP service: it owns the account and group stores, the settings, the
// FTP log, the auth manager and the listener; loads and saves them
// together; and activates, deactivates and reports on the engine.
//
// Files live in the program folder: config/accounts.dta,
// config/groups.dta, config/settings.dta, logs/ftp_<n>.txt and
// accountlogs/<account>.txt, and the transfer log where quillon.conf puts
// it. Numbered logs older than quillon.conf keeps them are removed at
// activation and once a day after.
//
// Thread-safety: public operations may be called from any thread (the
// desktop, the remote admin); the parts lock themselves. Load and Save are
// called by the owner's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "access/auth_manager.h"
#include "accounts/account_store.h"
#include "cluster/shared_store.h"
#include "ftp/damage_notices.h"
#include "ftp/event_runner.h"
#include "ftp/ftp_listener.h"
#include "ftp/passive_config.h"
#include "ftp/prelogin_limit.h"
#include "ftp/tls_config.h"
#include "platform/clock.h"
#include "settings/api_tokens.h"
#include "settings/log_file.h"
#include "settings/log_retention.h"
#include "settings/server_settings.h"
#include "fileutil/file_writer.h"

namespace quillon::ftp {

namespace errors {
inline constexpr const char* kInternal = "Internal FTP system failure";
inline constexpr const char* kPortInUse = "Unable to open the FTP Port (already in use)";
inline constexpr const char* kPortChange = "Unable to change the FTP Port (already in use)";
// Why a port could not be opened, when the system refused the privilege
// rather than found the port taken: "permission denied: ports below 1024
// need root" (or just "permission denied" for a higher port), or when a
// listen address is not this machine's. "" when `error` (an errno of the
// bind) is neither.
std::string PortPermissionReason(int error, std::uint32_t port);
}  // namespace errors

// What a reload reads: config/quillon.conf and the certificate and key
// that its text names (each not read when it names none), and
// config/tokens.conf.
struct ReloadFiles {
  platform::FileContent config;
  platform::FileContent certificate;
  platform::FileContent key;
  platform::FileContent tokens;
};

// What an API token lets its bearer do.
enum class TokenAccess { kNone, kReadOnly, kReadWrite };

class FtpServer {
 public:
  struct Status {
    std::uint16_t port = 0;
    std::uint32_t users = 0;
    std::uint32_t kb_received = 0;
    std::uint32_t kb_sent = 0;
  };

  // `writer` (may be null: a plain FileWriter) replaces the stored files.
  FtpServer(platform::Clock& clock, const std::string& program_folder,
            fileutil::FileWriter* writer = nullptr);
  virtual ~FtpServer();
  FtpServer(const FtpServer&) = delete;
  FtpServer& operator=(const FtpServer&) = delete;

  accounts::AccountStore& Accounts() { return accounts_; }
  accounts::AccountStore& Groups() { return groups_; }
  settings::ServerSettings& Settings() { return settings_; }
  access::AuthManager& Auth() { return auth_; }
  settings::LogFile& Log() { return log_; }
  settings::TransferLogFile& TransferLog() { return xferlog_; }
  // Points the transfer log and the log retention at what quillon.conf says
  // now (activation does; so may a reload). The retention's next pass runs
  // at once.
  void ApplyLogSettings();
  // The TLS rules and certificate of the last activation (or ConfigureTls).
  const TlsConfig& Tls() const { return tls_; }
  // Loads the TLS rules and certificate from the settings, as activation
  // does. False with *error (also written to the FTP log) when the
  // certificate or key cannot be used; TLS is then off.
  [[nodiscard]] bool ConfigureTls(std::string* error);

  // With account_store = postgresql in quillon.conf (as loaded), keeps the
  // accounts and groups in that database from now on, shared with the other
  // servers that use it; Load does this. False with *error (also logged)
  // when it is not set up or cannot be reached yet; the store then keeps
  // trying (logins are refused meanwhile). Already connected is success.
  [[nodiscard]] bool ConnectSharedStore(std::string* error);
  bool HasSharedStore() const { return shared_ != nullptr; }

  // Loads settings, accounts and groups (all three are attempted); true
  // only if all three loaded. The FTP log continues at the stored number.
  // Each damaged file is kept aside (see fileutil::DamagedFileGuard) and becomes
  // a notice.
  [[nodiscard]] bool Load();
  // One report text per damaged file that the last Load found (settings,
  // accounts, groups), for the owner to log. REQUIRES: the thread that
  // called Load.
  const std::vector<std::string>& DamageFoundByLoad() const { return load_damage_; }
  // The damaged files found since the start, until acknowledged.
  DamageNotices& Notices() { return notices_; }
  // Stores the FTP log's number and the live credit balances of logged-in
  // accounts, then saves all three; true only if all did.
  // `unsaved` (may be null) gets the files that could not be written
  // ("config/accounts.dta, config/groups.dta"; "" after success).
  [[nodiscard]] bool Save(std::string* unsaved = nullptr);

  // Loads the TLS certificate when TLS is on, then listens on mPort;
  // already active is success.
  [[nodiscard]] bool Activate(std::string* error);
  // Stops listening and ends every session.
  void Deactivate();
  // Applies quillon.conf as read again, whole or not at all: first checks
  // that every line is a setting and, when TLS is on for FTP or the remote
  // admin, that the certificate and key can be used; then puts the settings,
  // the TLS rules (sessions that begin from now on take them; running ones
  // keep theirs), the passive ports and address and the limits before login
  // in place. True with *report listing what changed ("" when nothing did);
  // false with *report saying why nothing was applied.
  [[nodiscard]] bool Reload(const ReloadFiles& files, std::string* report);
  bool IsActive() const { return listener_->IsRunning(); }
  // Moves a running listener to the current mPort (and cap) and applies the
  // settings to logged-in accounts. A port that cannot be opened stops the
  // service: false with the error.
  [[nodiscard]] bool ApplyPortChange(std::string* error);
  Status GetStatus();
  std::vector<access::ActivitySnapshot> SessionList() const { return auth_.SnapshotSessions(); }
  bool IsPortAvailable(std::uint32_t port);

  // The API tokens: read from config/tokens.conf by LoadApiTokens (Load
  // does, at the start) and by each reload.
  // False with *message (also written to the FTP log) when the file cannot
  // be read or has lines that are no token (the others are taken).
  [[nodiscard]] bool LoadApiTokens(std::string* message);
  static std::string ApiTokensPath(const std::string& program_folder);
  const std::string& ProgramFolder() const { return program_folder_; }
  // What the token `token` may do (kNone for no valid token); *name gets the
  // token's name when it is one.
  TokenAccess MatchApiToken(std::string_view token, std::string* name) const;
  std::size_t ApiTokenCount() const;

  // The programs run for events; their failures go to the FTP log unless
  // the owner gives the runner a reporter of its own.
  EventRunner& Events() { return events_; }
  std::uint32_t PassivePortsInUse() const { return passive_.ListenerCount(); }

 private:
  // Starts, moves or stops the listener of the implicit TLS port after
  // quillon.conf, the certificate and the plain listener (it runs only
  // while that one does); logs what changed.
  void ApplyImplicitTls(std::uint32_t cap);
  // Port and cap from the settings (2 × mMaxUsers when limited); the
  // listen addresses go to the listener.
  void ReadListenSettings(std::uint32_t* port, std::uint32_t* cap);
  // The passive range and address, and the limits before login, from the settings.
  void ConfigurePassive();
  // Removes old numbered logs when the retention's pass is due; logs how
  // many went.
  void RemoveOldLogsIfDue();
  // The event rules from the settings.
  void ConfigureEvents();

  platform::Clock& clock_;
  accounts::AccountStore accounts_;
  accounts::AccountStore groups_;
  settings::ServerSettings settings_;
  settings::LogFile log_;
  settings::TransferLogFile xferlog_;
  settings::LogRetention retention_;
  const std::string program_folder_;
  access::AuthManager auth_;  // after what its maintenance task uses
  PassiveConfig passive_;
  PreloginLimit prelogin_;
  TlsConfig tls_;
  EventRunner events_;
  mutable runtime::CriticalSection tokens_lock_;
  settings::ApiTokens tokens_;  // guarded by tokens_lock_
  DamageNotices notices_;
  std::vector<std::string> load_damage_;  // the owner's thread only
  std::atomic<std::uint32_t> last_session_id_{0};  // the listeners' shared session numbers
  std::unique_ptr<FtpListener> listener_;
  std::unique_ptr<FtpListener> implicit_listener_;  // the implicit TLS port, when set
  std::unique_ptr<cluster::SharedStore> shared_;    // the owner's thread sets it, before sessions
};

}  // namespace quillon::ftp
