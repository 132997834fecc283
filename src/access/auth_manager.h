// Decides who may connect and who may log in; keeps one ActiveAccount per
// logged-in account and counts sessions; blocks addresses that fail to log
// in too often; changes passwords on request; writes live credit balances
// back to the account store, which a background thread saves (once a
// minute when a balance changed, and after an account's last session
// ends); queues the administrator's kicks and stopped transfers for the
// sessions to take.
//
// Thread-safety: public operations may be called from any thread.
// Lock order: the manager's lock, then an ActiveAccount's lock or a store's
// lock. The settings lock is held only to copy values, and no other lock is
// taken while it is held. The store file is written without the manager's
// lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access/active_account.h"
#include "access/activity_record.h"
#include "access/balance_saver.h"
#include "access/login_failure_tracker.h"
#include "access/server_counters.h"
#include "access/session_action_queue.h"
#include "access/shared_sessions.h"
#include "accounts/account_store.h"
#include "platform/clock.h"
#include "runtime/critical_section.h"
#include "settings/server_settings.h"
#include "fileutil/folder_size_cache.h"

namespace quillon::access {

namespace messages {
inline constexpr const char* kMaxSessions = "Maximum sessions reached, please try again later";
inline constexpr const char* kHammering = "Access disallowed (too many login failures)";
inline constexpr const char* kBlocked = "Access disallowed, your IP is blocked";
inline constexpr const char* kBadLogin = "Incorrect user name or password";
inline constexpr const char* kSessionRefused = "Access disallowed (too many sessions or blocked IP)";
inline constexpr const char* kNoRights = "You do not the access rights to perform this action";
inline constexpr const char* kBadNewPassword =
    "The password contains some illegal characters or is zero length.";
inline constexpr const char* kPasswordNotUpdated = "Unable to update password";
inline constexpr const char* kDatabaseLost =
    "Login refused: the account database cannot be reached, please try again later";
}  // namespace messages

class AuthManager {
 public:
  // `log_folder`: where account logs go; `temp_folder`: where listings are
  // prepared ("" allows no listings).
  AuthManager(accounts::AccountStore& accounts, accounts::AccountStore& groups,
              settings::ServerSettings& settings, platform::Clock& clock, std::string log_folder,
              std::string temp_folder = {});
  ~AuthManager();
  AuthManager(const AuthManager&) = delete;
  AuthManager& operator=(const AuthManager&) = delete;

  // Starts the anti-hammering, folder-size and balance-saving threads.
  [[nodiscard]] bool Start();
  void Stop();
  // Whether the anti-hammering and balance-saving threads run.
  bool IsRunning() const { return tracker_.IsRunning() && saver_.IsRunning(); }

  // The admission check; on success the connected count goes up.
  [[nodiscard]] bool AdmitConnection(const runtime::IpAddress& address, std::string* message);
  void ConnectionEnded();
  // The admission check alone. With `ignore_limits` only the IP lists count.
  [[nodiscard]] bool Admit(const runtime::IpAddress& address, bool ignore_limits, std::string* message);

  // Counts sessions and failed logins with the other servers of a shared
  // database too (null: this server alone). Set before sessions run.
  // Live balances then reach the store every few seconds, not every minute,
  // so the other servers see them soon.
  void SetSharedSessions(SharedSessions* shared);

  // The shared account of a successful login, or null with the message.
  // With a shared database, a login is refused while it cannot be reached,
  // and the account's session limit counts the sessions of every server.
  ActiveAccount* Login(const SessionEndpoint& session, std::string_view name,
                       std::string_view password, ActivityRecord* activity, std::string* message);
  // Ends a session's login; the account's last logout adds its balance's
  // change to the account store and has the store saved in the background.
  void Logout(const void* session_key, ActiveAccount* account);
  [[nodiscard]] bool ChangePassword(ActiveAccount* account, std::string_view password,
                                    std::string* message);

  std::uint32_t LoggedInCount() const;
  std::uint32_t ConnectedCount() const;
  [[nodiscard]] bool GetLiveCredits(std::string_view name, std::uint32_t* credits) const;
  // Moves the live balance; the move reaches the store like a transfer's.
  [[nodiscard]] bool SetLiveCredits(std::string_view name, std::uint32_t credits);
  // Sets the live balance to the one an editor has just stored.
  [[nodiscard]] bool ReplaceLiveCredits(std::string_view name, std::uint32_t credits);
  // Moves the live balance of a logged-in account by what another server
  // moved the stored one; nothing when it is not logged in.
  void ShiftLiveCredits(std::string_view name, std::int64_t shift);
  // Adds the change of every live balance since it was last taken to the
  // account store (the file is written by the next save); true when the
  // store changed.
  bool StoreLiveCredits();
  std::vector<ActivitySnapshot> SnapshotSessions() const;
  // The sessions the named account has logged in now (0 when none).
  std::uint32_t SessionsOf(std::string_view name) const;
  // The wall time (clock ns) of the named account's latest successful login
  // since the manager was made; false when it has not logged in since. Kept
  // in memory only: a restart forgets it.
  [[nodiscard]] bool LastLogin(std::string_view name, std::int64_t* wall_ns) const;

  void QueueSessionAction(std::uint32_t session_id, SessionActionKind kind, std::string_view reason);
  std::optional<SessionAction> TakeSessionAction(std::uint32_t session_id);

  // Resolves every logged-in account again from the stores and gives it the
  // current server rules. An account that no longer resolves admits no more
  // sessions.
  void RefreshActiveAccounts();

  // Settings read through the manager.
  bool AllowSiteToSite() const;
  bool BlockTimeOutStopping() const;
  std::uint32_t IdleTimeOutSeconds() const;
  std::string WelcomeMessage() const;
  std::string HelpMessage() const;

  // Called (outside the manager's lock) after a session action was queued or
  // the live accounts were refreshed, so waiting sessions can look at once.
  void SetChangeListener(std::function<void()> listener);
  // Runs `task` on the balance saver's thread at each of its passes (about
  // once a minute), for upkeep that no session waits for; null for none.
  // Returns once a task already running has ended.
  void SetMaintenanceTask(std::function<void()> task);

  fileutil::FolderSizeCache& Cache() { return cache_; }
  LoginFailureTracker& Tracker() { return tracker_; }
  ServerCounters& Counters() { return counters_; }

 private:
  struct ServerRules {
    bool anti_hammering = false;
    runtime::RateLimiter* upload = nullptr;
    runtime::RateLimiter* download = nullptr;
    std::optional<fileutil::BannedTypes> banned;
    bool delete_to_trash = false;
    fileutil::TrashRules trash;
  };
  // Every root and virtual folder that an account or group serves, resolved.
  std::vector<std::string> ServedFolders() const;

  bool AdmitLocked(const runtime::IpAddress& address, bool ignore_limits, std::string* message) const;
  ServerRules ReadServerRules() const;
  // A password checked outside the manager's lock, against the logged-in
  // account's live record when there is one, else against the stores.
  struct PasswordCheck {
    std::optional<accounts::EffectiveRecord> live;  // the live record seen
    bool live_match = false;                        // the password matched it
    accounts::EffectiveRecord record;               // resolved from the stores
    bool resolved = false;                          // the password matched them
    std::string checked_field;  // the stored password field it was checked against
    // The stored password field the password matched, if it matched.
    std::optional<std::string> MatchedField() const {
      if (live_match) return live->Password();
      if (resolved) return record.Password();
      return std::nullopt;
    }
  };
  PasswordCheck CheckPassword(const SessionEndpoint& session, std::string_view name,
                              std::string_view password) const;
  // Login without the shared session count.
  ActiveAccount* LoginHere(const SessionEndpoint& session, std::string_view name, std::string_view password,
                           ActivityRecord* activity, std::string* message);
  // Counts a failed login here and on the other servers.
  void RecordFailureLocked(const runtime::IpAddress& address);
  // Admits the session to `account` and counts the login; null with the
  // message when the account's limits refuse it.
  ActiveAccount* AdmitLoginLocked(ActiveAccount* account, const SessionEndpoint& session,
                                  std::string_view password, ActivityRecord* activity,
                                  std::string* message);
  // A copy of the live record of the logged-in account named `name`.
  std::optional<accounts::EffectiveRecord> LiveRecordOf(std::string_view name) const;
  // True when quillon.conf asks for passwords stored as one-way hashes.
  bool HashPasswords() const;
  // Anti-hammering is on and has banned `address`.
  bool GuessingBlocked(const runtime::IpAddress& address) const;
  // After a login with `password`: in hashed mode, a stored password that
  // is not yet a hash is replaced by its hash (stored, live and soon saved).
  // Best effort: a failure leaves the stored password as it was.
  void HashStoredPasswordLocked(ActiveAccount* account, std::string_view password);
  static void ApplyServerRules(ActiveAccount* account, const ServerRules& rules);
  ActiveAccount* FindLocked(std::string_view name) const;
  // Records the clock's wall time as the account's latest login.
  void NoteLoginLocked(std::string_view name);
  void RefreshActiveAccountsLocked();

  accounts::AccountStore& accounts_;
  accounts::AccountStore& groups_;
  settings::ServerSettings& settings_;
  platform::Clock& clock_;
  const std::string log_folder_;
  const std::string temp_folder_;
  fileutil::FolderSizeCache cache_;
  LoginFailureTracker tracker_;
  ServerCounters counters_;
  SessionActionQueue actions_;

  mutable runtime::CriticalSection lock_;  // the manager's lock
  std::vector<std::unique_ptr<ActiveAccount>> active_;  // guarded by lock_
  std::uint32_t logged_in_ = 0;                         // guarded by lock_
  std::uint32_t connected_ = 0;                         // guarded by lock_
  // Latest successful login per account name, case-folded.
  std::map<std::string, std::int64_t, std::less<>> last_login_;  // guarded by lock_
  std::function<void()> on_change_;                     // set before sessions run
  SharedSessions* shared_ = nullptr;                    // set before sessions run
  runtime::CriticalSection maintenance_lock_;
  std::function<void()> maintenance_;                   // guarded by maintenance_lock_
  BalanceSaver saver_;  // last: its thread uses the members above
};

}  // namespace quillon::access
