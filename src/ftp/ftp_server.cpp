#include "ftp/ftp_server.h"

#include <algorithm>
#include <utility>

#include "fileutil/paths.h"
#include "fileutil/text.h"
#include "ftp/replies.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "runtime/tcp_socket.h"

namespace quillon::ftp {

namespace {
constexpr std::uint32_t kHighestPort = 65535;
constexpr std::uint32_t kFirstUnprivilegedPort = 1024;

// The error text of a port the listener could not open: `in_use` unless the
// system refused the privilege, in which case its "(already in use)" says so.
std::string PortError(const char* in_use, int error, std::uint32_t port) {
  const std::string reason = errors::PortPermissionReason(error, port);
  std::string text = in_use;
  if (reason.empty()) return text;
  return text.substr(0, text.find('(')) + "(" + reason + ")";
}
}  // namespace

std::string errors::PortPermissionReason(int error, std::uint32_t port) {
  if (platform::IsAddressNotLocalError(error)) return "an address of listen_addresses is not this machine's";
  if (!platform::IsPermissionError(error)) return "";
  return port < kFirstUnprivilegedPort ? "permission denied: ports below 1024 need root"
                                       : "permission denied";
}

FtpServer::FtpServer(platform::Clock& clock, const std::string& program_folder,
                     fileutil::FileWriter* writer)
    : clock_(clock),
      accounts_(program_folder + "/config/accounts.dta", writer, &clock),
      groups_(program_folder + "/config/groups.dta", writer, &clock),
      settings_(clock, program_folder + "/config/settings.dta", writer),
      log_(clock),
      retention_(clock),
      program_folder_(program_folder),
      auth_(accounts_, groups_, settings_, clock, program_folder + "/accountlogs",
            program_folder + "/temp"),
      passive_(clock),
      events_(clock),
      listener_(std::make_unique<FtpListener>(auth_, log_, xferlog_, passive_, prelogin_, tls_, events_, clock,
                                              last_session_id_)),
      implicit_listener_(std::make_unique<FtpListener>(auth_, log_, xferlog_, passive_, prelogin_, tls_, events_,
                                                       clock, last_session_id_, true)) {
  log_.SetPrefix(program_folder, std::string(settings::kLogsFolder) + "/" + settings::kFtpLogName);
  if (!auth_.Start()) platform::ReportDiagnostic("The FTP service's helper threads did not start");
  auth_.SetChangeListener([this] {
    listener_->WakeSessions();
    implicit_listener_->WakeSessions();
  });
  auth_.SetMaintenanceTask([this] { RemoveOldLogsIfDue(); });
  events_.SetReporter([this](const std::string& line) { [[maybe_unused]] const bool written = log_.WriteLine(line); });
}

FtpServer::~FtpServer() {
  auth_.SetMaintenanceTask(nullptr);
  implicit_listener_.reset();
  listener_.reset();
  // The balance saver's thread saves through the shared store, whose own
  // thread calls into the auth manager and the stores: both end first.
  auth_.Stop();
  shared_.reset();
  auth_.SetSharedSessions(nullptr);
  auth_.SetChangeListener(nullptr);
}

bool FtpServer::ConnectSharedStore(std::string* error) {
  if (shared_ != nullptr) return true;
  std::string url;
  std::uint32_t lease_seconds = 0;
  {
    runtime::CriticalSection::Guard guard(settings_.Lock());
    if (!settings_.Extra().SharedAccountStore()) return true;
    url = settings_.Extra().PostgresUrl();
    lease_seconds = settings_.Extra().LeaseSeconds();
  }
  auto write_log = [this](const std::string& line) { [[maybe_unused]] const bool written = log_.WriteLine(line); };
  if (url.empty()) {
    *error = "account_store = postgresql needs postgresql_url";
    write_log(*error);
    return false;
  }
  shared_ = std::make_unique<cluster::SharedStore>(url, lease_seconds, clock_, accounts_, groups_);
  auth_.SetSharedSessions(&shared_->Database());
  cluster::SharedStore::Hooks hooks;
  hooks.log = write_log;
  hooks.changed = [this] { auth_.RefreshActiveAccounts(); };
  hooks.failure = [this](const runtime::IpAddress& address) { auth_.Tracker().RecordFailure(address); };
  hooks.credits = [this](const std::string& name, std::int64_t shift) { auth_.ShiftLiveCredits(name, shift); };
  // A failure is logged by the store ("Account Database Lost").
  return shared_->Open(std::move(hooks), error);
}

bool FtpServer::Load() {
  bool settings_ok;
  {
    runtime::CriticalSection::Guard guard(settings_.Lock());
    settings_ok = settings_.Load();
    log_.SetNumber(settings_.mFTPLogStartVal);
    if (!settings_.ExtraLoadMessage().empty()) {
      [[maybe_unused]] bool written = log_.WriteLine(settings_.ExtraLoadMessage());
    }
  }
  // A database that cannot be reached now does not stop the start: the
  // store keeps trying, loads the records once it can, and logins wait for
  // that. One that is not set up does.
  std::string shared_error;
  const bool shared_ok = ConnectSharedStore(&shared_error) || shared_ != nullptr;
  const bool accounts_ok = accounts_.Load() || shared_ != nullptr;
  const bool groups_ok = groups_.Load() || shared_ != nullptr;
  // A token file with faults keeps its good tokens; the fault is logged.
  std::string token_message;
  [[maybe_unused]] const bool tokens_ok = LoadApiTokens(&token_message);
  load_damage_.clear();
  for (const std::optional<fileutil::DamageReport>& damage :
       {settings_.Damage(), accounts_.Damage(), groups_.Damage()}) {
    if (!damage) continue;
    load_damage_.push_back(damage->Text());
    notices_.Add(damage->file, damage->Text());
  }
  return settings_ok && shared_ok && accounts_ok && groups_ok;
}

bool FtpServer::Save(std::string* unsaved) {
  settings::ServerSettings::PreparedSave save;
  {
    runtime::CriticalSection::Guard guard(settings_.Lock());
    settings_.mFTPLogStartVal = log_.Number();
    save = settings_.PrepareSave();
  }
  // Flushed to disk without the settings lock, which every admission needs.
  const bool settings_ok = settings_.CompleteSave(save);
  // Accounts still logged in keep their balances live: the file gets them too.
  auth_.StoreLiveCredits();
  const bool accounts_ok = accounts_.Save();
  const bool groups_ok = groups_.Save();
  if (unsaved != nullptr) {
    unsaved->clear();
    for (const auto& [ok, name] : {std::pair{settings_ok, "config/settings.dta"},
                                   std::pair{accounts_ok, "config/accounts.dta"},
                                   std::pair{groups_ok, "config/groups.dta"}}) {
      if (ok) continue;
      if (!unsaved->empty()) unsaved->append(", ");
      unsaved->append(name);
    }
  }
  return settings_ok && accounts_ok && groups_ok;
}

void FtpServer::ReadListenSettings(std::uint32_t* port, std::uint32_t* cap) {
  std::vector<std::string> addresses;
  {
    runtime::CriticalSection::Guard guard(settings_.Lock());
    addresses = settings_.Extra().ListenAddresses();
  }
  // Not under the settings lock: the listener's locks come first.
  listener_->SetListenAddresses(std::move(addresses));
  runtime::CriticalSection::Guard guard(settings_.Lock());
  *port = settings_.mPort;
  // The cap also counts connections that have not logged in yet.
  *cap = settings_.mUseMaxUsers && settings_.mMaxUsers != 0
             ? static_cast<std::uint32_t>(std::min<std::uint64_t>(2ull * settings_.mMaxUsers,
                                                                  UINT32_MAX))
             : FtpListener::kDefaultCap;
}

bool FtpServer::Activate(std::string* error) {
  if (listener_->IsRunning()) return true;
  if (!auth_.IsRunning()) {
    *error = errors::kInternal;
    return false;
  }
  if (!ConfigureTls(error)) return false;
  std::uint32_t port = 0, cap = 0;
  ReadListenSettings(&port, &cap);
  listener_->SetCap(cap);
  if (port > kHighestPort || !listener_->Start(static_cast<std::uint16_t>(port))) {
    *error = PortError(errors::kPortInUse, port <= kHighestPort ? listener_->OpenErrorNumber() : 0, port);
    return false;
  }
  ApplyImplicitTls(cap);
  auth_.RefreshActiveAccounts();
  ConfigurePassive();
  ConfigureEvents();
  ApplyLogSettings();
  RemoveOldLogsIfDue();
  // What passive replies announce, so an administrator behind NAT can check it.
  if (const std::string announced = passive_.Describe(); !announced.empty()) {
    [[maybe_unused]] const bool written = log_.WriteLine(announced);
  }
  return true;
}

bool FtpServer::ConfigureTls(std::string* error) {
  bool ok;
  {
    runtime::CriticalSection::Guard guard(settings_.Lock());
    ok = tls_.Configure(settings_.Extra(), error);
  }
  if (!ok) [[maybe_unused]] const bool written = log_.WriteLine(*error);
  return ok;
}

void FtpServer::ConfigurePassive() {
  std::uint16_t first = 0, last = 0;
  std::string address;
  {
    runtime::CriticalSection::Guard guard(settings_.Lock());
    const settings::ExtraSettings& extra = settings_.Extra();
    first = extra.PassivePortFirst();
    last = extra.PassivePortLast();
    address = extra.PassiveAddress();
    prelogin_.Configure(extra.PreloginPerIp(), extra.LoginTimeoutSeconds());
    prelogin_.ConfigureProxy(extra.ProxyProtocol(), extra.ProxyTrusted());
    passive_.SetListenersPerAddress(extra.PassivePerIp());
  }
  passive_.Configure(first, last, address);
}

void FtpServer::ConfigureEvents() {
  EventRunner::Rules rules;
  {
    runtime::CriticalSection::Guard guard(settings_.Lock());
    rules = EventRunner::RulesFrom(settings_.Extra());
  }
  events_.SetRules(std::move(rules));
}

std::string FtpServer::ApiTokensPath(const std::string& program_folder) {
  return program_folder + "/config/" + settings::ApiTokens::kFileName;
}

bool FtpServer::LoadApiTokens(std::string* message) {
  settings::ApiTokens tokens;
  const bool loaded = tokens.Load(ApiTokensPath(program_folder_), message);
  if (!loaded) [[maybe_unused]] const bool written = log_.WriteLine(*message);
  runtime::CriticalSection::Guard guard(tokens_lock_);
  tokens_ = std::move(tokens);
  return loaded;
}

TokenAccess FtpServer::MatchApiToken(std::string_view token, std::string* name) const {
  runtime::CriticalSection::Guard guard(tokens_lock_);
  const settings::ApiTokens::Entry* entry = tokens_.Match(token);
  if (entry == nullptr) return TokenAccess::kNone;
  *name = entry->name;
  return entry->read_only ? TokenAccess::kReadOnly : TokenAccess::kReadWrite;
}

std::size_t FtpServer::ApiTokenCount() const {
  runtime::CriticalSection::Guard guard(tokens_lock_);
  return tokens_.Entries().size();
}

void FtpServer::ApplyLogSettings() {
  std::string path;
  std::uint32_t keep_days = 0;
  {
    runtime::CriticalSection::Guard guard(settings_.Lock());
    path = settings_.Extra().TransferLogPath();
    keep_days = settings_.Extra().LogKeepDays();
  }
  if (!path.empty() && path.front() != '/') path = program_folder_ + "/" + path;
  xferlog_.SetPath(std::move(path));
  retention_.SetKeepDays(keep_days);
}

void FtpServer::RemoveOldLogsIfDue() {
  if (!retention_.TakeDuePass()) return;
  // The remote admin's log writes to its family's latest file.
  const std::vector<settings::LogFamily> families = {
      {settings::kFtpLogName, fileutil::FileNamePart(log_.CurrentPath())}, {settings::kAdminLogName, ""}};
  const std::uint32_t removed =
      settings::RemoveOldLogs(program_folder_ + "/" + settings::kLogsFolder, families,
                              clock_.WallTimeNs() / 1'000'000'000, retention_.KeepDays());
  if (removed > 0) {
    [[maybe_unused]] const bool written = log_.WriteLine(fileutil::FormatText(replies::kLogOldLogsRemoved, removed));
  }
}

void FtpServer::Deactivate() {
  implicit_listener_->Stop();
  listener_->Stop();
}

void FtpServer::ApplyImplicitTls(std::uint32_t cap) {
  std::uint16_t port = 0;
  std::vector<std::string> addresses;
  {
    runtime::CriticalSection::Guard guard(settings_.Lock());
    port = settings_.Extra().ImplicitTlsPort();
    addresses = settings_.Extra().ListenAddresses();
  }
  // It runs only beside the plain port.
  if (port == 0 || !listener_->IsRunning()) {
    implicit_listener_->Stop();
    return;
  }
  auto opened_text = [&](bool opened, const char* what) {
    if (opened) return fileutil::FormatText("Implicit TLS: Port=[%u]", port);
    return platform::ErrorText(
        fileutil::FormatText("Implicit TLS not %s: port %u could not be opened", what, port).c_str(),
        implicit_listener_->OpenErrorNumber());
  };
  std::string line;
  implicit_listener_->SetCap(cap);
  implicit_listener_->SetListenAddresses(std::move(addresses));
  if (tls_.Get().context == nullptr) {
    implicit_listener_->Stop();
    line = "Implicit TLS not started: tls_certificate and tls_key must name a certificate and its key";
  } else if (implicit_listener_->IsRunning()) {
    // Sessions on it stay; the port or its addresses reopen when they changed.
    const bool moved = implicit_listener_->LocalPort() != port;
    const bool opened = implicit_listener_->ChangePort(port);
    if (opened && !moved) return;
    line = opened_text(opened, "moved");
  } else {
    line = opened_text(implicit_listener_->Start(port), "started");
  }
  [[maybe_unused]] const bool written = log_.WriteLine(line);
}

bool FtpServer::Reload(const ReloadFiles& files, std::string* report) {
  if (!files.config.read) {
    *report = files.config.error;
    return false;
  }
  settings::ExtraSettings extra;
  std::string message;
  // Unknown keys are kept and change nothing; a line that is no setting
  // would leave its key at the default, which is not what was meant.
  if (!extra.LoadText(files.config.bytes, files.config.path, &message) && extra.SkippedLineCount() > 0) {
    *report = message;
    return false;
  }
  TlsConfig::Rules rules;
  if (!TlsConfig::Build(extra, files.certificate, files.key, &rules, report)) return false;
  // The token file is taken whole too: a missing one means no tokens. One
  // that was not asked for (no path) leaves the tokens as they are.
  settings::ApiTokens tokens;
  const bool replace_tokens = !files.tokens.path.empty();
  if (replace_tokens && !files.tokens.read && !files.tokens.missing) {
    *report = files.tokens.error.empty() ? "Unable to read " + files.tokens.path : files.tokens.error;
    return false;
  }
  if (files.tokens.read && !tokens.LoadText(files.tokens.bytes, files.tokens.path, report)) return false;
  std::string changes;
  bool same_tls_version;
  {
    runtime::CriticalSection::Guard guard(settings_.Lock());
    changes = settings::DescribeChanges(settings_.Extra(), extra);
    same_tls_version = settings_.Extra().TlsOnly13() == extra.TlsOnly13();
    settings_.ReplaceExtra(std::move(extra));
  }
  const TlsConfig::Rules running = tls_.Get();
  if (rules.context != nullptr) {
    // The same certificate and key keep their context, and with it the
    // sessions that data connections resume.
    const bool same_identity =
        running.context != nullptr && running.context->Identity() == rules.context->Identity();
    if (same_identity && same_tls_version) {
      rules.context = running.context;
    } else if (!same_identity) {
      changes += std::string(changes.empty() ? "" : "; ") +
                 (running.context == nullptr ? "tls_certificate loaded" : "tls_certificate reloaded");
    }
  }
  tls_.Install(std::move(rules));
  if (replace_tokens) {
    runtime::CriticalSection::Guard guard(tokens_lock_);
    if (tokens_.Text() != tokens.Text())
      changes += std::string(changes.empty() ? "" : "; ") + "API tokens: " +
                 std::to_string(tokens_.Entries().size()) + " -> " + std::to_string(tokens.Entries().size());
    tokens_ = std::move(tokens);
  }
  if (listener_->IsRunning()) {
    std::uint32_t port = 0, cap = 0;
    ReadListenSettings(&port, &cap);
    ApplyImplicitTls(cap);
  }
  auth_.RefreshActiveAccounts();
  ConfigurePassive();
  ConfigureEvents();
  ApplyLogSettings();
  *report = changes;
  return true;
}

bool FtpServer::ApplyPortChange(std::string* error) {
  bool ok = true;
  if (listener_->IsRunning()) {
    std::uint32_t port = 0, cap = 0;
    ReadListenSettings(&port, &cap);
    listener_->SetCap(cap);
    if (port > kHighestPort || !listener_->ChangePort(static_cast<std::uint16_t>(port))) {
      *error = PortError(errors::kPortChange, port <= kHighestPort ? listener_->OpenErrorNumber() : 0, port);
      listener_->Stop();
      ok = false;
    }
    // Follows the plain port: stopped with it, or moved with the addresses.
    ApplyImplicitTls(cap);
  }
  auth_.RefreshActiveAccounts();
  ConfigurePassive();
  return ok;
}

FtpServer::Status FtpServer::GetStatus() {
  Status status;
  status.port = listener_->LocalPort();
  status.users = auth_.LoggedInCount();
  status.kb_received = listener_->KbReceived() + implicit_listener_->KbReceived();
  status.kb_sent = listener_->KbSent() + implicit_listener_->KbSent();
  return status;
}

bool FtpServer::IsPortAvailable(std::uint32_t port) { return listener_->IsPortAvailable(port); }

}  // namespace quillon::ftp
