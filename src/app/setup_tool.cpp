#include "app/setup_tool.h"

#include <memory>
#include <optional>

#include "accounts/account_store.h"
#include "app/program_folders.h"
#include "app/run_as_user.h"
#include "app/server_app.h"
#include "app/service_manager.h"
#include "app/store_commands.h"
#include "cluster/shared_store.h"
#include "control/config_commands.h"
#include "control/control_channel.h"
#include "control/settings_file.h"
#include "control/token_commands.h"
#include "ftp/damage_notices.h"
#include "ftp/ftp_server.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "platform/process.h"
#include "platform/tls.h"
#include "platform/users.h"
#include "settings/server_settings.h"
#include "fileutil/file_handle.h"
#include "fileutil/file_writer.h"
#include "fileutil/paths.h"

namespace quillon::app {

namespace {

using Guard = runtime::CriticalSection::Guard;

constexpr const char* kUsage =
    "usage: quillon-setup init [--ftp-port N] [--admin-port N] [--admin-password P] [--no-tls] [--force]\n"
    "       quillon-setup account add NAME [--password P] --root DIR [RECORD OPTIONS]\n"
    "       quillon-setup account set NAME RECORD OPTIONS\n"
    "       quillon-setup account show|remove NAME\n"
    "       quillon-setup account list\n"
    "       quillon-setup account vfolder add NAME VNAME DIR [--rights LETTERS]\n"
    "       quillon-setup account vfolder remove NAME VNAME\n"
    "       quillon-setup group add|set NAME [RECORD OPTIONS]\n"
    "       quillon-setup group show|remove NAME | group list\n"
    "       quillon-setup group vfolder add NAME VNAME DIR [--rights LETTERS] | group vfolder remove NAME VNAME\n"
    "       quillon-setup set [KEY VALUE]\n"
    "       quillon-setup get KEY\n"
    "       quillon-setup service install|remove|start|stop|status|reload\n"
    "       quillon-setup update\n"
    "       quillon-setup tls generate HOST\n"
    "       quillon-setup token add NAME [--read-only] | token list | token remove NAME\n"
    "       quillon-setup store export FILE | store import FILE | store migrate\n"
    "Record options (a value turns its limit on, 0 or off turns it off):\n"
    "  --password PW (accounts only)  --root DIR|off (off: the group's root)\n"
    "  --rights LETTERS  --group G|off  --max-size MB|off  --max-upload-kbs N|off\n"
    "  --max-download-kbs N|off  --credits N  --enable-credits on|off\n"
    "  --credits-per-upload-kb N  --credits-per-download-kb N (negative: a cost)  --enabled on|off\n"
    "  --start-dir DIR|off  --max-users N|off  --always-allow-login on|off\n"
    "  --allow-password-change on|off  --account-log on|off\n"
    "Rights letters: r read files, w upload files, m modify files, l list folders,\n"
    "c create folders, d remove and rename folders, - none (default: rl).\n"
    "init makes a self-signed certificate and turns HTTPS on for the remote admin (--no-tls\n"
    "leaves it on plain HTTP, for one behind a TLS proxy of your own); a password it makes up\n"
    "is left in config/admin-password.txt, readable only by the user who ran it.\n"
    "set without a key lists every key with its value. While the server runs, the\n"
    "account, group, set and get commands go to it through config/control.sock and\n"
    "take effect at once.\n";

bool ParsePort(const std::string& text, std::uint32_t* port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *port = static_cast<std::uint32_t>(std::stoul(text));
  return *port >= 1 && *port <= 65535;
}

// 12 letters and digits from the system's random source ("" without one).
std::string NewPassword() {
  static constexpr char kAlphabet[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  constexpr unsigned kCount = sizeof kAlphabet - 1;
  std::string password;
  while (password.size() < 12) {
    unsigned char bytes[32];
    if (!platform::RandomBytes(bytes, sizeof bytes)) return {};
    for (unsigned char byte : bytes)
      if (byte < 256 - 256 % kCount && password.size() < 12) password.push_back(kAlphabet[byte % kCount]);
  }
  return password;
}

// What to do when init could not make the remote admin's certificate.
constexpr const char* kNoCertificateAdvice =
    "The remote admin speaks HTTPS and needs a certificate: once the cause above is fixed, run "
    "quillon-setup init --force again; or run quillon-setup init --force --no-tls, then "
    "quillon-setup tls generate HOST and quillon-setup set admin_tls on; or keep --no-tls for a "
    "remote admin behind a TLS proxy of your own.\n";

// The warning line for a file that the load found damaged (and kept aside).
void WarnOfDamage(const std::optional<fileutil::DamageReport>& damage, std::string* err) {
  if (damage) *err += ftp::DamageWarningLine(damage->Text()) + "\n";
}

}  // namespace

SetupTool::SetupTool(platform::Clock& clock, std::string folder, std::string server_program)
    : clock_(clock), folder_(std::move(folder)), server_program_(std::move(server_program)) {}

int SetupTool::Run(const std::vector<std::string>& args, std::string* out, std::string* err) {
  const std::string command = args.empty() ? "" : args[0];
  // Asked for, the usage is the answer, on standard output.
  if (args.size() == 1 && (command == "--help" || command == "-h" || command == "help")) {
    *out = kUsage;
    return 0;
  }
  if (args.size() == 1 && command == "--version") {
    *out = std::string("quillon-setup (Quillon FTP Server) ") + kVersionText + "\n";
    return 0;
  }
  if (command == "init") return Init(args, out, err);
  if (control::ConfigCommands::Handles(args)) return Configure(args, out, err);
  if (command == "service") return Service(args, out, err);
  if (command == "update" && args.size() == 1) return Update(args, out, err);
  if (command == "tls" && args.size() == 3 && args[1] == "generate") return GenerateTls(args[2], out, err);
  if (control::TokenCommands::Handles(args)) return Token(args, out, err);
  if (StoreCommands::Handles(args)) {
    StoreCommands store(clock_, folder_, [this](std::string* refusal) { return LockOut(refusal); });
    return store.Run(args, out, err);
  }
  *err = kUsage;
  return 2;
}

bool SetupTool::LockOut(std::string* err) {
  // Held until the tool ends: a server started meanwhile stops at once.
  bool held_elsewhere = false;
  if (lock_.IsHeld() || lock_.Acquire(folder_, kInstanceLockName, &held_elsewhere)) return true;
  *err = held_elsewhere ? "The server is running: stop it before changing its configuration.\n"
                        : "Unable to take the instance lock in " +
                              platform::InstanceLock::LockFolder(folder_) + ".\n";
  return false;
}

bool SetupTool::MakeFolders(std::string* err) {
  if (MakeProgramFolders(folder_)) return true;
  *err = "Unable to create the required directories.\n";
  return false;
}

int SetupTool::Init(const std::vector<std::string>& args, std::string* out, std::string* err) {
  control::CommandOptions options;
  if (!options.Parse(args, 1, {"--ftp-port", "--admin-port", "--admin-password"}, {"--force", "--no-tls"}, err))
    return 2;
  if (!options.words.empty()) {
    *err = kUsage;
    return 2;
  }
  std::uint32_t ftp_port = 21;
  std::uint32_t admin_port = 7088;
  if (!ParsePort(options.Get("--ftp-port", "21"), &ftp_port) ||
      !ParsePort(options.Get("--admin-port", "7088"), &admin_port)) {
    *err = "A port must be a number from 1 to 65535.\n";
    return 1;
  }
  if (ftp_port == admin_port) {
    *err = "The FTP port and the remote admin port must differ.\n";
    return 1;
  }
  const bool generated = !options.Has("--admin-password");
  const std::string password = generated ? NewPassword() : options.Get("--admin-password");
  if (password.empty() || password.size() >= settings::ServerSettings::kMessageCapacity) {
    *err = "The admin password must have 1 to 99 characters.\n";
    return 1;
  }
  if (!MakeFolders(err) || !LockOut(err)) return 1;
  const std::string path = folder_ + "/config/settings.dta";
  if (fileutil::FileExists(path) && !options.Has("--force")) {
    *err = "Settings already exist in config/settings.dta (--force replaces them).\n";
    return 1;
  }
  // The settings file stores the admin password in the form quillon.conf
  // names, so that choice is written first.
  if (!ChoosePasswordStorage(err)) return 1;
  std::string password_line;
  if (!LeaveAdminPassword(generated ? password : std::string(), &password_line, err)) return 1;
  control::SettingsFile settings(clock_, path);
  if (!settings.WriteFirst(ftp_port, admin_port, password)) {
    // Best effort: a password that no settings hold is of no use to anyone.
    int error = 0;
    if (generated) {
      [[maybe_unused]] const bool removed = platform::RemoveFile(folder_ + "/config/" + kAdminPasswordFile, &error);
    }
    *err = "Unable to write config/settings.dta.\n";
    return 1;
  }
  *out = "Settings written to config/settings.dta\nFTP port: " + std::to_string(ftp_port) + "\n";
  const bool https = !options.Has("--no-tls");
  if (!ChooseAdminTls(https, out, err)) return 1;
  *out += std::string("Remote admin: ") + (https ? "https" : "http") + "://127.0.0.1:" +
          std::to_string(admin_port) + "/\n";
  if (!ChooseServingUser(true, out, err)) return 1;
  *out += password_line;
  return 0;
}

bool SetupTool::ReadExtraForChoice(const std::string& path, settings::ExtraSettings* extra, std::string* err) {
  std::string text, message;
  // A file that cannot be read is never written over with only one key.
  if (fileutil::PathExists(path) && !fileutil::ReadWholeFile(path, settings::ExtraSettings::kMaxFileBytes,
                                                   &text, platform::Links::kRefuse)) {
    *err = "Unable to read config/quillon.conf.\n";
    return false;
  }
  // Faulty lines are skipped; the others stay as they are.
  [[maybe_unused]] const bool clean = extra->Load(path, &message);
  return true;
}

bool SetupTool::ChoosePasswordStorage(std::string* err) {
  const std::string path = folder_ + "/config/" + settings::ExtraSettings::kFileName;
  std::string message;
  settings::ExtraSettings extra;
  if (!ReadExtraForChoice(path, &extra, err)) return false;
  // A choice already written (an init run again with --force) stays.
  if (extra.Mentions("password_storage")) return true;
  fileutil::FileWriter writer;
  if (!extra.Set("password_storage", "hashed", &message) || !extra.Save(path, writer)) {
    *err = "Unable to write config/quillon.conf.\n";
    return false;
  }
  return true;
}

bool SetupTool::ChooseServingUser(bool choose, std::string* out, std::string* err) {
  if (!platform::IsSuperUser()) return true;
  const std::string path = folder_ + "/config/" + settings::ExtraSettings::kFileName;
  std::string message;
  settings::ExtraSettings extra;
  if (!ReadExtraForChoice(path, &extra, err)) return false;
  const bool named = extra.Mentions("run_as_user");
  if (!named && !choose) {
    *out += "The server serves as " + extra.RunAsUser() + " (run_as_user in config/quillon.conf); " +
            "quillon-setup set run_as_user " + kServiceUser + " gives it a user of its own.\n";
    return true;
  }
  const std::string user = named ? extra.RunAsUser() : kServiceUser;
  platform::UserIdentity identity;
  if (user == kServiceUser && !platform::LookUpUser(user, &identity)) {
    if (!platform::CreateSystemUser(user, &message)) {
      *err = "Unable to create the system user " + user + " (" + message + ").\n";
      return false;
    }
    *out += "System user " + user + " created.\n";
  }
  fileutil::FileWriter writer;
  if (!named && (!extra.Set("run_as_user", user, &message) || !extra.Save(path, writer))) {
    *err = "Unable to write config/quillon.conf.\n";
    return false;
  }
  *out += "Serves as: " + user + "\n";
  return true;
}

int SetupTool::Configure(const std::vector<std::string>& args, std::string* out, std::string* err) {
  const bool reads = control::ConfigCommands::OnlyReads(args);
  if (!reads && !MakeFolders(err)) return 1;
  // Held until the tool ends: a server started meanwhile stops at once.
  bool held_elsewhere = false;
  if (lock_.IsHeld() || lock_.Acquire(folder_, kInstanceLockName, &held_elsewhere)) return OnFiles(args, out, err);
  if (!held_elsewhere) {
    if (reads) return OnFiles(args, out, err);
    *err = "Unable to take the instance lock in " + platform::InstanceLock::LockFolder(folder_) + ".\n";
    return 1;
  }
  // A server runs: it makes the change on what it serves with, and saves it.
  if (control::ConfigCommands::SetsConf(args)) return SetConfLive(args, out, err);
  control::CommandResult reply;
  std::string error;
  if (control::SendControlRequest(clock_, ControlSocketPath(), args, &reply, &error)) return Print(reply, out, err);
  // An older server, or one another user runs: the files are only read.
  if (reads) return OnFiles(args, out, err);
  *err = "The server is running and does not answer on config/" + std::string(control::kControlSocketFile) + " (" +
         error + "): stop it before changing its configuration.\n";
  return 1;
}

int SetupTool::OnFiles(const std::vector<std::string>& args, std::string* out, std::string* err) {
  control::SettingsFile settings(clock_, folder_ + "/config/settings.dta");
  accounts::AccountStore accounts(folder_ + "/config/accounts.dta", nullptr, &clock_);
  accounts::AccountStore groups(folder_ + "/config/groups.dta", nullptr, &clock_);
  std::unique_ptr<cluster::SharedStore> shared;  // detaches the stores before they go
  if (args[0] == "account" || args[0] == "group") {
    // Only the password form and the store are wanted of quillon.conf; a
    // line it cannot read leaves that key at its default.
    std::string message;
    const settings::ExtraSettings& extra = settings.Settings().Extra();
    [[maybe_unused]] const bool clean =
        settings.Settings().Extra().Load(folder_ + "/config/" + settings::ExtraSettings::kFileName, &message);
    if (extra.SharedAccountStore()) {
      shared = std::make_unique<cluster::SharedStore>(extra.PostgresUrl(), extra.LeaseSeconds(), clock_, accounts,
                                                      groups);
      if (!shared->Attach(&message)) {
        *err += "Unable to reach the account database: " + message + "\n";
        return 1;
      }
    }
    const bool accounts_read = accounts.Load();
    const bool groups_read = groups.Load();
    // A damaged file is kept aside by its load, before any save.
    WarnOfDamage(accounts.Damage(), err);
    WarnOfDamage(groups.Damage(), err);
    if (!accounts_read || !groups_read) {
      *err += shared ? "Unable to read the accounts or groups in the account database: " + accounts.BackendError() +
                           groups.BackendError() + "\n"
                     : "Unable to read the accounts or groups in config/.\n";
      return 1;
    }
  } else {
    std::optional<fileutil::DamageReport> damage;
    const bool loaded = settings.Load(&damage);
    WarnOfDamage(damage, err);
    if (!loaded) {
      *err += "There are no settings yet: run quillon-setup init first.\n";
      return 1;
    }
  }
  control::FileTarget target(settings, accounts, groups);
  return Print(control::ConfigCommands(target).Run(args), out, err);
}

int SetupTool::Token(const std::vector<std::string>& args, std::string* out, std::string* err) {
  const bool changes = control::TokenCommands::Changes(args);
  if (changes && !MakeFolders(err)) return 1;
  fileutil::FileWriter writer;
  control::TokenCommands commands(clock_, ftp::FtpServer::ApiTokensPath(folder_), writer);
  const int code = Print(commands.Run(args), out, err);
  // A running server takes the change at once.
  if (code == 0 && changes && platform::InstanceLock::HolderId(folder_, kInstanceLockName) != 0)
    AskServerToReload("config/tokens.conf", out);
  return code;
}

control::CommandResult SetupTool::RequestReload() {
  control::CommandResult reply;
  std::string error;
  if (!control::SendControlRequest(clock_, ControlSocketPath(), {control::kReloadRequest}, &reply, &error)) {
    reply.code = control::CommandResult::kRefused;
    reply.err = error;
  }
  while (!reply.err.empty() && reply.err.back() == '\n') reply.err.pop_back();
  return reply;
}

void SetupTool::AskServerToReload(const std::string& file, std::string* out) {
  const control::CommandResult reply = RequestReload();
  if (reply.code == 0) {
    *out += "The running server read " + file + " again.\n";
    return;
  }
  *out += "The running server did not read " + file + " again (" + reply.err + "): reload or restart it.\n";
}

int SetupTool::SetConfLive(const std::vector<std::string>& args, std::string* out, std::string* err) {
  // The running server may not write quillon.conf (it is root's): the tool
  // writes it, then asks the server to read it again.
  if (const int code = OnFiles(args, out, err); code != 0) return code;
  const control::CommandResult reply = RequestReload();
  if (reply.code == 0) {
    *out += reply.out.empty() ? "The server read config/quillon.conf again.\n" : reply.out;
    return 0;
  }
  *out += "The running server did not read config/quillon.conf again (" + reply.err + "): restart it for " + args[1] +
          " to take effect.\n";
  return 0;
}

std::string SetupTool::ControlSocketPath() const {
  return folder_ + "/config/" + control::kControlSocketFile;
}

int SetupTool::Print(const control::CommandResult& result, std::string* out, std::string* err) {
  *out += result.out;
  *err += result.code == control::CommandResult::kBadUsage && result.err.empty() ? kUsage : result.err;
  return result.code;
}

int SetupTool::GenerateTls(const std::string& host, std::string* out, std::string* err) {
  if (!MakeFolders(err) || !LockOut(err)) return 1;
  control::SettingsFile settings(clock_, folder_ + "/config/settings.dta");
  if (!LoadForTls(settings, err)) return 1;
  return MakeCertificate(settings, host, out, err) ? 0 : 1;
}

bool SetupTool::LoadForTls(control::SettingsFile& settings, std::string* err) {
  std::optional<fileutil::DamageReport> damage;
  const bool loaded = settings.Load(&damage);
  WarnOfDamage(damage, err);
  if (!loaded) *err += "There are no settings yet: run quillon-setup init first.\n";
  return loaded;
}

bool SetupTool::MakeCertificate(control::SettingsFile& settings, const std::string& host, std::string* out,
                                std::string* err) {
  const std::string certificate = folder_ + "/config/" + kTlsCertificateFile;
  const std::string key = folder_ + "/config/" + kTlsKeyFile;
  std::string message;
  if (!platform::WriteSelfSignedCertificate(host, certificate, key, &message)) {
    *err += message + "\n";
    return false;
  }
  const bool was_off = settings.TlsIsOff();
  if (!settings.Set("tls_certificate", certificate, &message) || !settings.Set("tls_key", key, &message) ||
      (was_off && !settings.Set("tls", "optional", &message)) || !settings.SaveFileOf("tls")) {
    *err += "Unable to write config/quillon.conf.\n";
    return false;
  }
  *out += "Self-signed certificate for " + host + " written to " + certificate + " (key: " + key + ").\n";
  if (was_off) *out += "TLS is now optional for FTP clients (quillon-setup set tls required insists on it).\n";
  return true;
}

bool SetupTool::ChooseAdminTls(bool https, std::string* out, std::string* err) {
  control::SettingsFile settings(clock_, folder_ + "/config/settings.dta");
  if (!LoadForTls(settings, err)) return false;
  std::string named, admin_tls, message;
  [[maybe_unused]] const bool known = settings.Get("tls_certificate", &named, &message) &&
                                      settings.Get("admin_tls", &admin_tls, &message);
  if (https && !named.empty()) {
    // An installation set up again keeps the certificate it names (perhaps
    // one its administrator bought); only the first init makes one.
    *out += "Certificate kept: " + named + " (tls_certificate in config/quillon.conf).\n";
  } else if (https) {
    std::string host = platform::HostName();
    if (host.empty()) host = "localhost";
    // A host name a certificate cannot hold (an underscore, say) gives way
    // to localhost, as no host name at all does.
    std::string refused;
    if (!MakeCertificate(settings, host, out, &refused) &&
        (host == "localhost" || !MakeCertificate(settings, "localhost", out, &refused))) {
      *err += refused + kNoCertificateAdvice;
      return false;
    }
  }
  const char* wanted = https ? "on" : "off";
  if (admin_tls == wanted) return true;
  if (!settings.Set("admin_tls", wanted, &message) || !settings.SaveFileOf("admin_tls")) {
    *err += "Unable to write config/quillon.conf.\n";
    return false;
  }
  return true;
}

bool SetupTool::LeaveAdminPassword(const std::string& generated, std::string* line, std::string* err) {
  const std::string path = folder_ + "/config/" + kAdminPasswordFile;
  platform::PathInfo info;
  if (generated.empty()) {
    // A password given on the command line is the administrator's own; the
    // file of an earlier init would only mislead.
    int error = 0;
    if (platform::StatPathNoFollow(path, &info) && info.is_regular && !info.is_link &&
        !platform::RemoveFile(path, &error)) {
      *err = "Unable to remove the old config/" + std::string(kAdminPasswordFile) + " (" +
             platform::ErrorText(path.c_str(), error) + ").\n";
      return false;
    }
    *line = "Admin password: as given\n";
    return true;
  }
  std::string message;
  if (!fileutil::WriteNewOwnerOnlyFile(path, generated + "\n", &message)) {
    *err = "Unable to write the admin password to config/" + std::string(kAdminPasswordFile) + " (" + message +
           "); remove whatever is there, or give a password with --admin-password.\n";
    return false;
  }
  *line = "Admin password: in config/" + std::string(kAdminPasswordFile) + " (readable only by " +
          platform::EffectiveUserName() + "; read it once, then delete the file)\n";
  return true;
}

int SetupTool::Service(const std::vector<std::string>& args, std::string* out, std::string* err) {
  const std::string action = args.size() == 2 ? args[1] : "";
  ServiceManager services(server_program_, folder_);
  if (action == "install") {
    const bool configured = fileutil::FileExists(folder_ + "/config/settings.dta");
    if (!MakeFolders(err) || !ChooseServingUser(!configured, out, err)) return 1;
    if (services.Install(kServiceName, kServiceDisplayName, kServiceArgument)) {
      *out += "Service installed: " + server_program_ + " " + kServiceArgument + "\n";
      return 0;
    }
    *err = "Unable to install the service (is " + server_program_ + " there, and may this user write " +
           ServiceManager::ServiceFolder() + "?)\n";
    return 1;
  }
  using Kind = ServiceManager::Outcome::Kind;
  if (action == "start") {
    if (!services.Exists(kServiceName)) {
      *err = "The service is not installed.\n";
      return 1;
    }
    const ServiceManager::Outcome started = services.Start(kServiceName, clock_, ServiceManager::kStartWaitMs);
    switch (started.kind) {
      case Kind::kDone:
        *out = "Service started.\n";
        return 0;
      case Kind::kAlreadyRunning:
        *err = "The service is already running (pid " + std::to_string(started.pid) + ").\n";
        return 1;
      case Kind::kNoAnswer:
        *err = "The service is still starting after " +
               std::to_string(ServiceManager::kStartWaitMs / 1000) + " seconds; see logs/servicelog.txt.\n";
        return 1;
      default:
        *err = !started.line.empty() ? "The service failed to start: " + started.line + "\n"
               : started.pid != 0    ? "The service failed to start; logs/servicelog.txt gives no reason.\n"
                                     : "Unable to start service.\n";
        return 1;
    }
  }
  if (action == "stop") {
    // A server started by hand with -service is stopped alike.
    int pid = 0;
    if (services.Stop(kServiceName, &pid)) {
      // Like a service manager's stop, this one returns once the service has ended.
      [[maybe_unused]] const bool ended =
          services.AwaitEnd(kServiceName, pid, clock_, ServiceManager::kStopWaitMs);
      *out = "Service asked to stop.\n";
      return 0;
    }
    *err = pid != 0                          ? "Unable to stop the service (pid " + std::to_string(pid) + ").\n"
           : services.Exists(kServiceName) ? "The service is not running.\n"
                                           : "The service is not installed.\n";
    return 1;
  }
  if (action == "reload") {
    const ServiceManager::Outcome reload = services.Reload(kServiceName, clock_, ServiceManager::kReloadWaitMs);
    if (reload.kind == Kind::kNotRunning) {
      *err = "The service is not running.\n";
      return 1;
    }
    if (reload.kind == Kind::kFailed && reload.line.empty()) {
      *err = "Unable to ask the service to reload (pid " + std::to_string(reload.pid) + ").\n";
      return 1;
    }
    *out = "Service asked to reload.\n";
    if (reload.kind == Kind::kNoAnswer) {
      *err = "No answer in logs/servicelog.txt yet.\n";
      return 1;
    }
    *(reload.kind == Kind::kDone ? out : err) += reload.line + "\n";
    return reload.kind == Kind::kDone ? 0 : 1;
  }
  if (action == "remove") {
    if (!services.Exists(kServiceName)) {
      *err = "The service is not installed.\n";
      return 1;
    }
    if (services.Remove(kServiceName)) {
      *out = "Service removed.\n";
      return 0;
    }
    *err = "Unable to remove the service.\n";
    return 1;
  }
  if (action == "status") {
    if (services.IsRunning(kServiceName)) {
      *out = "running\n";
      return 0;
    }
    *out = services.Exists(kServiceName) ? "installed, not running\n" : "not installed\n";
    return 3;
  }
  *err = kUsage;
  return 2;
}

int SetupTool::Update(const std::vector<std::string>&, std::string* out, std::string* err) {
  // The server must not run from the file being replaced, nor save over
  // what an update brings.
  bool held_elsewhere = false;
  if (!lock_.IsHeld() && !lock_.Acquire(folder_, kInstanceLockName, &held_elsewhere)) {
    *err = held_elsewhere ? "The server is running: stop it first (quillon-setup service stop, "
                            "or close the desktop program), then update.\n"
                          : "Unable to take the instance lock in " +
                                platform::InstanceLock::LockFolder(folder_) + ".\n";
    return 1;
  }
  std::string program;
  if (!platform::ResolvePath(server_program_, &program)) {
    *err = "The server program " + server_program_ + " cannot be found.\n";
    return 1;
  }
  update::Updater updater(clock_);
  if (!updater.StartUpdate(UpdateJob(program))) {
    *err = "Unable to retrieve update.\n";
    return 1;
  }
  // The updater can pass through a stage between two polls; every stage it went through is
  // still printed once, so the output reads the same however fast the download is.
  auto describe = [&updater](std::uint32_t state) {
    return update::DescribeUpdate(state, updater.BytesReceived(), updater.ContentLength()).status;
  };
  std::string shown = describe(update::Updater::kLooking);
  auto show = [&](std::string status) {
    shown = std::move(status);
    if (print_) {
      print_(shown + "\n");
    } else {
      *out += shown + "\n";
    }
  };
  show(shown);
  bool download_shown = false;
  for (;;) {
    const bool running = updater.IsRunning();
    if (updater.GetState() == update::Updater::kDownloading) {
      const std::string status = describe(update::Updater::kDownloading);
      if (status != shown) show(status);
      download_shown = true;
    }
    if (!running) break;
    clock_.SleepMs(kUpdatePollMs);
  }
  const update::Updater::State state = updater.GetState();
  if (state == update::Updater::kInstalled && !download_shown)
    show(describe(update::Updater::kDownloading));
  if (state != update::Updater::kLooking) show(describe(state));
  if (state == update::Updater::kInstalled || state == update::Updater::kNoUpdate) return 0;
  *err = updater.FailureText() + "\n";
  return 1;
}

}  // namespace quillon::app
