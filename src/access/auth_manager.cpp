#include "access/auth_manager.h"

#include <algorithm>

#include "fileutil/paths.h"
#include "fileutil/text.h"
#include "platform/password_hash.h"

namespace quillon::access {

using Guard = runtime::CriticalSection::Guard;

namespace {

constexpr std::string_view kIllegalPasswordChars = "\";><\t\n\r";

// The server settings the admission check reads, copied under the settings lock.
struct AdmissionSettings {
  bool use_max_users;
  std::uint32_t max_users;
  bool use_max_per_ip;
  std::uint32_t max_per_ip;
  bool anti_hammering;
  bool use_safe;
  bool safe;
  bool use_blocked;
  bool blocked;
};

}  // namespace

AuthManager::AuthManager(accounts::AccountStore& accounts, accounts::AccountStore& groups,
                         settings::ServerSettings& settings, platform::Clock& clock,
                         std::string log_folder, std::string temp_folder)
    : accounts_(accounts),
      groups_(groups),
      settings_(settings),
      clock_(clock),
      log_folder_(std::move(log_folder)),
      temp_folder_(std::move(temp_folder)),
      cache_(clock),
      tracker_(clock),
      actions_(clock),
      saver_(accounts, clock, [this] {
        {
          Guard guard(maintenance_lock_);
          if (maintenance_) maintenance_();
        }
        return StoreLiveCredits();
      }) {}

AuthManager::~AuthManager() {
  Stop();  // the saver's thread first: it uses the accounts
  Guard guard(lock_);
  active_.clear();
}

bool AuthManager::Start() {
  const bool tracker = tracker_.IsRunning() || tracker_.Start();
  const bool cache = cache_.IsRunning() || cache_.Start();
  const bool saver = saver_.IsRunning() || saver_.Start();
  return tracker && cache && saver;
}

void AuthManager::Stop() {
  saver_.Stop(runtime::WorkerThread::kStopWaitMs);
  tracker_.Stop(runtime::WorkerThread::kStopWaitMs);
  cache_.Stop(runtime::WorkerThread::kStopWaitMs);
}

bool AuthManager::AdmitLocked(const runtime::IpAddress& address, bool ignore_limits,
                              std::string* message) const {
  AdmissionSettings s;
  {
    Guard settings(settings_.Lock());  // manager lock, then the settings lock, briefly
    s = AdmissionSettings{settings_.mUseMaxUsers,     settings_.mMaxUsers,
                          settings_.mUseMaxUsersPerIP, settings_.mMaxUsersPerIP,
                          settings_.mAntiHammering,    settings_.mUseSafeIPs,
                          settings_.mSafeIPs.Contains(address), settings_.mUseBlockIPs,
                          settings_.mBlockIPs.Contains(address)};
  }
  if (!ignore_limits) {
    if (s.use_max_users && logged_in_ >= s.max_users) {
      *message = messages::kMaxSessions;
      return false;
    }
    if (s.use_max_per_ip) {
      std::size_t from_address = 0;
      for (const auto& account : active_) from_address += account->SessionsFrom(address);
      if (from_address >= s.max_per_ip) {
        *message = messages::kMaxSessions;
        return false;
      }
    }
    if (s.anti_hammering && tracker_.IsBlocked(address)) {
      *message = messages::kHammering;
      return false;
    }
  }
  if (s.use_safe && s.safe) return true;
  if (s.use_blocked && s.blocked) {
    *message = messages::kBlocked;
    return false;
  }
  return true;
}

bool AuthManager::AdmitConnection(const runtime::IpAddress& address, std::string* message) {
  Guard guard(lock_);
  if (!AdmitLocked(address, false, message)) return false;
  ++connected_;
  return true;
}

void AuthManager::ConnectionEnded() {
  Guard guard(lock_);
  if (connected_ > 0) --connected_;
}

bool AuthManager::Admit(const runtime::IpAddress& address, bool ignore_limits, std::string* message) {
  Guard guard(lock_);
  return AdmitLocked(address, ignore_limits, message);
}

AuthManager::ServerRules AuthManager::ReadServerRules() const {
  ServerRules rules;
  {
    Guard settings(settings_.Lock());
    rules.anti_hammering = settings_.mAntiHammering;
    rules.upload = settings_.mUseMaxUploadSpeed ? &settings_.mMaxUploadSpeed : nullptr;
    rules.download = settings_.mUseMaxDownloadSpeed ? &settings_.mMaxDownloadSpeed : nullptr;
    if (settings_.mUseBannedFiles) rules.banned = settings_.mBadExts;
    rules.delete_to_trash = settings_.mDeleteToRecycleBin;
    rules.trash.max_bytes = settings_.Extra().TrashMaxBytes();
  }
  // The trash must lie outside every served folder, not only the deleting
  // account's: otherwise others could see (and count) what was deleted.
  if (rules.delete_to_trash) rules.trash.kept_out_of = ServedFolders();
  return rules;
}

std::vector<std::string> AuthManager::ServedFolders() const {
  std::vector<std::string> folders;
  for (accounts::AccountStore* store : {&accounts_, &groups_}) {
    Guard guard(store->Lock());  // the auth manager's lock, then a store's
    for (std::size_t i = 0; i < store->Count(); ++i) {
      const accounts::AccountRecord& record = store->GetAt(i);
      if (record.mUseRootFolder) folders.push_back(record.RootFolder());
      for (const accounts::VirtualFolder& folder : record.VirtualFolders())
        folders.push_back(folder.Path());
    }
  }
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  for (std::string& folder : folders) folder = fileutil::ResolveNearest(folder);
  return folders;
}

void AuthManager::ApplyServerRules(ActiveAccount* account, const ServerRules& rules) {
  account->SetServerLimiters(rules.upload, rules.download);
  account->SetServerRules(rules.banned, rules.delete_to_trash, rules.trash);
}

ActiveAccount* AuthManager::FindLocked(std::string_view name) const {
  for (const auto& account : active_)
    if (fileutil::EqualNoCase(account->Name(), name)) return account.get();
  return nullptr;
}

std::optional<accounts::EffectiveRecord> AuthManager::LiveRecordOf(std::string_view name) const {
  Guard guard(lock_);
  const ActiveAccount* account = FindLocked(name);
  if (account == nullptr) return std::nullopt;
  return account->RecordCopy();
}

AuthManager::PasswordCheck AuthManager::CheckPassword(const SessionEndpoint& session,
                                                      std::string_view name,
                                                      std::string_view password) const {
  PasswordCheck check;
  // An address already banned is refused by the admission check without
  // costing a hash.
  if (password.empty() || GuessingBlocked(session.address)) return check;
  check.live = LiveRecordOf(name);
  check.live_match = check.live && check.live->MatchLogin(name, password);
  accounts::AccountRecord stored;
  const bool named = accounts_.GetCopy(name, &stored);
  if (check.live) {
    check.checked_field = check.live->Password();
  } else if (named) {
    check.checked_field = stored.Password();
  }
  // The live record holds the stored field already: a wrong password is
  // checked against it once, not twice.
  if (!check.live_match && !(check.live && named && check.live->Password() == stored.Password()))
    check.resolved = accounts::ResolveEffectiveRecord(accounts_, groups_, name, password, &check.record);
  const bool hash_checked =
      (check.live && check.live->HasPasswordHash()) || (named && stored.HasPasswordHash());
  if (!check.live_match && !check.resolved && !hash_checked && HashPasswords())
    platform::VerifyAgainstNoHash(password);
  return check;
}

ActiveAccount* AuthManager::Login(const SessionEndpoint& session, std::string_view name,
                                  std::string_view password, ActivityRecord* activity,
                                  std::string* message) {
  if (shared_ != nullptr && !shared_->Available()) {
    *message = messages::kDatabaseLost;
    return nullptr;
  }
  ActiveAccount* account = LoginHere(session, name, password, activity, message);
  if (account == nullptr || shared_ == nullptr) return account;
  // The other servers' sessions count too. The lease is taken without the
  // manager's lock: it waits for the database.
  const accounts::EffectiveRecord record = account->RecordCopy();
  const std::uint32_t max_sessions = record.mUseMaxUsers && !record.mAlwaysAllowLogin ? record.mMaxUsers : 0;
  const SharedSessions::Lease lease = shared_->TakeLease(record.Name(), session.key, max_sessions);
  if (lease == SharedSessions::Lease::kTaken) return account;
  Logout(session.key, account);
  *message = lease == SharedSessions::Lease::kFull ? messages::kSessionRefused : messages::kDatabaseLost;
  return nullptr;
}

void AuthManager::RecordFailureLocked(const runtime::IpAddress& address) {
  tracker_.RecordFailure(address);
  if (shared_ != nullptr) shared_->PublishFailure(address);
}

ActiveAccount* AuthManager::LoginHere(const SessionEndpoint& session, std::string_view name,
                                      std::string_view password, ActivityRecord* activity,
                                      std::string* message) {
  // A password hash takes milliseconds to check, so the password is checked
  // before the manager lock is taken: other logins, logouts and admissions
  // do not wait for it. Under the lock the check counts only for the stored
  // password field it was made against. Sessions of the same account may
  // change what it saw meanwhile: when the account's last session logged
  // out, the stores are read again for that field (no hash needed); when a
  // login replaced the field by its hash, the check is made again, a few
  // times at most. A right password is not refused for either.
  constexpr int kChecks = 3;
  for (int attempt = 1;; ++attempt) {
    PasswordCheck check = CheckPassword(session, name, password);
    Guard guard(lock_);
    const ServerRules rules = ReadServerRules();
    if (!AdmitLocked(session.address, false, message)) return nullptr;
    if (password.empty()) {
      *message = messages::kBadLogin;
      return nullptr;
    }
    const bool may_check_again = attempt < kChecks;
    const std::optional<std::string> matched = check.MatchedField();
    if (ActiveAccount* const account = FindLocked(name); account != nullptr) {
      const std::string field = account->RecordCopy().Password();
      if (matched && *matched == field) return AdmitLoginLocked(account, session, password, activity, message);
      const bool changed = field != matched.value_or(check.checked_field);
      if (changed && may_check_again) continue;
      if (rules.anti_hammering && !changed) RecordFailureLocked(session.address);
      *message = messages::kBadLogin;
      return nullptr;
    }
    if (!matched) {
      if (rules.anti_hammering) RecordFailureLocked(session.address);
      *message = messages::kBadLogin;
      return nullptr;
    }
    // Matched a live record whose last session has ended since: the stores
    // are resolved again by the very field the password matched.
    if (!check.resolved &&
        !accounts::ResolveEffectiveRecord(accounts_, groups_, name, *matched, &check.record,
                                          accounts::AccountStore::PasswordForm::kStored)) {
      if (may_check_again) continue;
      *message = messages::kBadLogin;
      return nullptr;
    }
    auto created = std::make_unique<ActiveAccount>(std::move(check.record), cache_, clock_, log_folder_);
    created->SetTempFolder(temp_folder_);
    ApplyServerRules(created.get(), rules);
    active_.push_back(std::move(created));
    if (ActiveAccount* account = AdmitLoginLocked(active_.back().get(), session, password, activity, message))
      return account;
    active_.pop_back();  // refused: no session holds it
    return nullptr;
  }
}

ActiveAccount* AuthManager::AdmitLoginLocked(ActiveAccount* account, const SessionEndpoint& session,
                                             std::string_view password, ActivityRecord* activity,
                                             std::string* message) {
  if (!account->AdmitSession(session, activity)) {
    *message = messages::kSessionRefused;
    return nullptr;
  }
  ++logged_in_;
  NoteLoginLocked(account->Name());
  HashStoredPasswordLocked(account, password);
  return account;
}

bool AuthManager::HashPasswords() const {
  Guard settings(settings_.Lock());  // after the manager lock when that is held, briefly
  return settings_.Extra().HashPasswords();
}

bool AuthManager::GuessingBlocked(const runtime::IpAddress& address) const {
  bool anti_hammering = false;
  {
    Guard settings(settings_.Lock());
    anti_hammering = settings_.mAntiHammering;
  }
  return anti_hammering && tracker_.IsBlocked(address);
}

void AuthManager::HashStoredPasswordLocked(ActiveAccount* account, std::string_view password) {
  const std::string name = account->Name();
  accounts::AccountRecord stored;
  // Only a stored password that is not yet a hash, and is the one just
  // typed (not an anonymous account's empty one), is replaced.
  if (!HashPasswords() || !accounts_.GetCopy(name, &stored) || stored.HasPasswordHash() ||
      stored.Password().empty() || stored.Password() != password)
    return;
  std::string error;
  if (!stored.SetNewPassword(password, true, &error)) return;
  // Stored only if no editor changed the password meanwhile.
  accounts::AccountRecord current;
  if (!accounts_.GetCopy(name, &current) || current.Password() != password) return;
  if (!accounts_.AddOrUpdate(stored)) return;
  account->SetLivePassword(stored.Password());
  saver_.RequestSave();
}

void AuthManager::Logout(const void* session_key, ActiveAccount* account) {
  if (account == nullptr) return;
  if (shared_ != nullptr) shared_->DropLease(session_key);  // before the lock: it waits for the database
  Guard guard(lock_);
  auto it = std::find_if(active_.begin(), active_.end(),
                         [account](const auto& held) { return held.get() == account; });
  if (it == active_.end()) return;
  account->RemoveSession(session_key);
  if (logged_in_ > 0) --logged_in_;
  if (account->SessionCount() > 0) return;
  // The last session: the live balance's change goes to the stored account
  // (manager lock, then the store's). The saver's thread writes the file,
  // so a burst of logouts costs one or two saves, not one each on the
  // session threads. A change, not the balance: other servers sharing the
  // account may have changed the stored balance meanwhile.
  std::int64_t delta = 0;
  if (!account->TakeCreditChange(&delta)) delta = 0;
  if (accounts_.AddCredits(account->Name(), delta)) saver_.RequestSave();
  active_.erase(it);
}

void AuthManager::NoteLoginLocked(std::string_view name) {
  std::string key(name);
  std::transform(key.begin(), key.end(), key.begin(), fileutil::FoldCase);
  last_login_[std::move(key)] = clock_.WallTimeNs();
}

std::uint32_t AuthManager::SessionsOf(std::string_view name) const {
  Guard guard(lock_);
  const ActiveAccount* account = FindLocked(name);
  return account == nullptr ? 0 : static_cast<std::uint32_t>(account->SessionCount());
}

bool AuthManager::LastLogin(std::string_view name, std::int64_t* wall_ns) const {
  std::string key(name);
  std::transform(key.begin(), key.end(), key.begin(), fileutil::FoldCase);
  Guard guard(lock_);
  const auto found = last_login_.find(key);
  if (found == last_login_.end()) return false;
  *wall_ns = found->second;
  return true;
}

bool AuthManager::StoreLiveCredits() {
  bool changed = false;
  Guard guard(lock_);
  for (const auto& account : active_) {
    std::int64_t delta = 0;
    // The account's lock is let go before the store's is taken.
    if (account->TakeCreditChange(&delta) && accounts_.AddCredits(account->Name(), delta)) changed = true;
  }
  return changed;
}

bool AuthManager::ChangePassword(ActiveAccount* account, std::string_view password,
                                 std::string* message) {
  Guard guard(lock_);
  bool server_allows = false;
  {
    Guard settings(settings_.Lock());
    server_allows = settings_.mAllowPassChange;
  }
  if (!server_allows || !account->RecordCopy().mAllowPassChange) {
    *message = messages::kNoRights;
    return false;
  }
  // The scrambled stored form holds at most 98 characters.
  if (password.empty() || password.find_first_of(kIllegalPasswordChars) != std::string_view::npos ||
      password.size() > accounts::AccountRecord::kMaxStoredPassword) {
    *message = messages::kBadNewPassword;
    return false;
  }
  accounts::AccountRecord stored;
  std::string error;
  if (!accounts_.GetCopy(account->Name(), &stored) ||
      !stored.SetNewPassword(password, HashPasswords(), &error)) {
    *message = messages::kPasswordNotUpdated;
    return false;
  }
  if (!accounts_.AddOrUpdate(stored)) {
    *message = messages::kPasswordNotUpdated;
    return false;
  }
  account->SetLivePassword(stored.Password());
  // Kept at once, not only at the last logout: a stop before it would
  // bring the old password back.
  saver_.RequestSave();
  return true;
}

std::uint32_t AuthManager::LoggedInCount() const {
  Guard guard(lock_);
  return logged_in_;
}

std::uint32_t AuthManager::ConnectedCount() const {
  Guard guard(lock_);
  return connected_;
}

bool AuthManager::GetLiveCredits(std::string_view name, std::uint32_t* credits) const {
  Guard guard(lock_);
  ActiveAccount* account = FindLocked(name);
  if (account == nullptr) return false;
  *credits = account->GetCredits();
  return true;
}

bool AuthManager::SetLiveCredits(std::string_view name, std::uint32_t credits) {
  Guard guard(lock_);
  ActiveAccount* account = FindLocked(name);
  if (account == nullptr) return false;
  account->SetCredits(credits);
  return true;
}

void AuthManager::SetSharedSessions(SharedSessions* shared) {
  shared_ = shared;
  saver_.SetIntervalMs(shared != nullptr ? BalanceSaver::kSharedIntervalMs : BalanceSaver::kIntervalMs);
}

void AuthManager::ShiftLiveCredits(std::string_view name, std::int64_t shift) {
  Guard guard(lock_);
  if (ActiveAccount* account = FindLocked(name)) account->ShiftCredits(shift);
}

bool AuthManager::ReplaceLiveCredits(std::string_view name, std::uint32_t credits) {
  Guard guard(lock_);
  ActiveAccount* account = FindLocked(name);
  if (account == nullptr) return false;
  account->ReplaceCredits(credits);
  return true;
}

std::vector<ActivitySnapshot> AuthManager::SnapshotSessions() const {
  Guard guard(lock_);
  std::vector<ActivitySnapshot> snapshots;
  for (const auto& account : active_) account->AppendSnapshots(&snapshots);
  return snapshots;
}

void AuthManager::SetChangeListener(std::function<void()> listener) {
  on_change_ = std::move(listener);
}

void AuthManager::SetMaintenanceTask(std::function<void()> task) {
  Guard guard(maintenance_lock_);
  maintenance_ = std::move(task);
}

void AuthManager::QueueSessionAction(std::uint32_t session_id, SessionActionKind kind,
                                     std::string_view reason) {
  actions_.Queue(session_id, kind, reason);
  if (on_change_) on_change_();
}

std::optional<SessionAction> AuthManager::TakeSessionAction(std::uint32_t session_id) {
  return actions_.Take(session_id);
}

void AuthManager::RefreshActiveAccounts() {
  RefreshActiveAccountsLocked();
  if (on_change_) on_change_();
}

void AuthManager::RefreshActiveAccountsLocked() {
  Guard guard(lock_);
  const ServerRules rules = ReadServerRules();
  for (const auto& account : active_) {
    Guard account_guard(account->Lock());  // manager lock, then the account lock
    const accounts::EffectiveRecord live = account->RecordCopy();
    accounts::EffectiveRecord fresh;
    if (accounts::ResolveEffectiveRecord(accounts_, groups_, live.Name(), live.Password(), &fresh,
                                         accounts::AccountStore::PasswordForm::kStored)) {
      fresh.mCurrentCredits = live.mCurrentCredits;
    } else {
      fresh.Reset();
      fresh.mEnabled = false;
    }
    account->UpdateRecord(std::move(fresh));
    ApplyServerRules(account.get(), rules);
  }
}

bool AuthManager::AllowSiteToSite() const {
  Guard settings(settings_.Lock());
  return settings_.mAllowSiteToSite;
}

bool AuthManager::BlockTimeOutStopping() const {
  Guard settings(settings_.Lock());
  return settings_.mBlockTimeOutStopping;
}

std::uint32_t AuthManager::IdleTimeOutSeconds() const {
  Guard settings(settings_.Lock());
  return settings_.mIdleTimeOut;
}

std::string AuthManager::WelcomeMessage() const {
  Guard settings(settings_.Lock());
  return settings_.mWelcomeMsg;
}

std::string AuthManager::HelpMessage() const {
  Guard settings(settings_.Lock());
  return settings_.mHelpMsg;
}

}  // namespace quillon::access
