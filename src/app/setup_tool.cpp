#include "app/setup_tool.h"

#include <map>
#include <optional>

#include "accounts/account_store.h"
#include "app/program_folders.h"
#include "app/run_as_user.h"
#include "app/server_app.h"
#include "app/service_manager.h"
#include "control/record_control.h"
#include "control/settings_file.h"
#include "ftp/damage_notices.h"
#include "platform/fs.h"
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
    "usage: quillon-setup init [--ftp-port N] [--admin-port N] [--admin-password P] [--force]\n"
    "       quillon-setup account add NAME [--password P] --root DIR [--rights LETTERS]\n"
    "       quillon-setup account list\n"
    "       quillon-setup account remove NAME\n"
    "       quillon-setup set KEY VALUE\n"
    "       quillon-setup get KEY\n"
    "       quillon-setup service install|remove|start|stop|status|reload\n"
    "       quillon-setup update\n"
    "       quillon-setup tls generate HOST\n"
    "Rights letters: r read files, w upload files, m modify files, l list folders,\n"
    "c create folders, d remove and rename folders (default: rl).\n";

constexpr accounts::AccessRights kRightBits[] = {
    accounts::kFileRead,   accounts::kFileWrite,     accounts::kFileModify,
    accounts::kFolderView, accounts::kFolderCreate,  accounts::kFolderModify};

// "--name value" options (and bare "--flag"s) after the positional words.
struct Options {
  std::map<std::string, std::string> values;
  std::vector<std::string> words;

  // False with a message for an option that is not allowed or lacks a value.
  bool Parse(const std::vector<std::string>& args, std::size_t from,
             std::initializer_list<const char*> with_value, std::initializer_list<const char*> flags,
             std::string* err) {
    for (std::size_t i = from; i < args.size(); ++i) {
      const std::string& arg = args[i];
      if (arg.rfind("--", 0) != 0) {
        words.push_back(arg);
        continue;
      }
      bool known = false;
      for (const char* name : flags) {
        if (arg != name) continue;
        values[arg] = "1";
        known = true;
      }
      for (const char* name : with_value) {
        if (arg != name) continue;
        if (i + 1 >= args.size()) {
          *err = "The option " + arg + " needs a value.\n";
          return false;
        }
        values[arg] = args[++i];
        known = true;
      }
      if (!known) {
        *err = "Unknown option " + arg + ".\n";
        return false;
      }
    }
    return true;
  }
  bool Has(const char* name) const { return values.count(name) > 0; }
  std::string Get(const char* name, std::string fallback = {}) const {
    auto found = values.find(name);
    return found == values.end() ? fallback : found->second;
  }
};

bool ParsePort(const std::string& text, std::uint32_t* port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *port = static_cast<std::uint32_t>(std::stoul(text));
  return *port >= 1 && *port <= 65535;
}

std::string RightsText(accounts::AccessRights rights) {
  std::string text;
  for (std::size_t i = 0; i < std::size(kRightBits); ++i)
    if (rights & kRightBits[i]) text.push_back(SetupTool::kRightLetters[i]);
  return text.empty() ? "-" : text;
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
  if (command == "account") return Account(args, out, err);
  if (command == "set" || command == "get") return Setting(args, out, err);
  if (command == "service") return Service(args, out, err);
  if (command == "update" && args.size() == 1) return Update(args, out, err);
  if (command == "tls" && args.size() == 3 && args[1] == "generate") return GenerateTls(args[2], out, err);
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
  Options options;
  if (!options.Parse(args, 1, {"--ftp-port", "--admin-port", "--admin-password"}, {"--force"}, err))
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
  std::string password = options.Get("--admin-password");
  if (!options.Has("--admin-password")) password = NewPassword();
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
  control::SettingsFile settings(clock_, path);
  if (!settings.WriteFirst(ftp_port, admin_port, password)) {
    *err = "Unable to write config/settings.dta.\n";
    return 1;
  }
  *out = "Settings written to config/settings.dta\nFTP port: " + std::to_string(ftp_port) +
         "\nRemote admin: http://127.0.0.1:" + std::to_string(admin_port) + "/\n";
  if (!ChooseServingUser(true, out, err)) return 1;
  *out += "Admin password: " + password + "\n";
  return 0;
}

bool SetupTool::ChooseServingUser(bool choose, std::string* out, std::string* err) {
  if (!platform::IsSuperUser()) return true;
  const std::string path = folder_ + "/config/" + settings::ExtraSettings::kFileName;
  std::string text, message;
  // A file that cannot be read is never written over with only this key.
  if (fileutil::PathExists(path) && !fileutil::ReadWholeFile(path, settings::ExtraSettings::kMaxFileBytes,
                                                   &text, platform::Links::kRefuse)) {
    *err = "Unable to read config/quillon.conf.\n";
    return false;
  }
  settings::ExtraSettings extra;
  [[maybe_unused]] const bool clean = extra.Load(path, &message);
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

int SetupTool::Account(const std::vector<std::string>& args, std::string* out, std::string* err) {
  Options options;
  if (!options.Parse(args, 1, {"--password", "--root", "--rights"}, {}, err)) return 2;
  const std::vector<std::string>& words = options.words;
  const std::string action = words.empty() ? "" : words[0];
  if (!((action == "list" && words.size() == 1) || (action == "add" && words.size() == 2) ||
        (action == "remove" && words.size() == 2))) {
    *err = kUsage;
    return 2;
  }
  if (action != "list" && (!MakeFolders(err) || !LockOut(err))) return 1;
  accounts::AccountStore accounts(folder_ + "/config/accounts.dta", nullptr, &clock_);
  accounts::AccountStore groups(folder_ + "/config/groups.dta", nullptr, &clock_);
  const bool accounts_read = accounts.Load();
  const bool groups_read = groups.Load();
  // A damaged file is kept aside by its load, before any save below.
  WarnOfDamage(accounts.Damage(), err);
  WarnOfDamage(groups.Damage(), err);
  if (!accounts_read || !groups_read) {
    *err += "Unable to read the accounts or groups in config/.\n";
    return 1;
  }

  control::RecordControl records(accounts, groups, control::RecordKind::kAccount);
  if (action == "list") {
    for (const accounts::AccountRecord& record : records.List()) {
      *out += record.Name() + "\t" + RightsText(record.mRights) + "\t" +
              (record.mUseRootFolder ? record.RootFolder() : "(group root)") + "\n";
    }
    return 0;
  }

  if (action == "remove") {
    if (records.Delete(words[1]) == control::RecordResult::kRecordGone) {
      *err += "There is no account named " + words[1] + ".\n";
      return 1;
    }
  } else {
    accounts::AccountRecord record;
    record.SetName(words[1]);
    record.SetPassword(options.Get("--password"));
    accounts::AccessRights rights = 0;
    for (char letter : options.Get("--rights", "rl")) {
      const char* at = std::char_traits<char>::find(kRightLetters, 6, letter);
      if (at == nullptr) {
        *err += std::string("Unknown right letter '") + letter + "': use r, w, m, l, c or d.\n";
        return 1;
      }
      rights |= kRightBits[at - kRightLetters];
    }
    record.mRights = rights;
    std::string root = options.Get("--root");
    if (!root.empty() && root[0] != '/') root = fileutil::AbsoluteFolder(root);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    record.mUseRootFolder = true;
    record.SetRootFolder(root);
    std::string message;
    if (records.Check(record, "", &message) != control::RecordResult::kDone) {
      *err += message + "\n";
      return 1;
    }
    if (!records.Commit(record, "")) {
      *err += "Unable to write config/accounts.dta.\n";
      return 1;
    }
  }
  if (!accounts.Save()) {
    *err += "Unable to write config/accounts.dta.\n";
    return 1;
  }
  *out = "Account " + words[1] + (action == "add" ? " added.\n" : " removed.\n");
  return 0;
}

int SetupTool::Setting(const std::vector<std::string>& args, std::string* out,
                       std::string* err) {
  const bool set = args[0] == "set";
  if (args.size() != (set ? 3u : 2u)) {
    *err = kUsage;
    return 2;
  }
  if (set && (!MakeFolders(err) || !LockOut(err))) return 1;
  control::SettingsFile settings(clock_, folder_ + "/config/settings.dta");
  std::optional<fileutil::DamageReport> damage;
  const bool loaded = settings.Load(&damage);
  WarnOfDamage(damage, err);  // kept aside by the load, before any save below
  if (!loaded) {
    *err += "There are no settings yet: run quillon-setup init first.\n";
    return 1;
  }
  std::string value, message;
  // The keys of quillon.conf live there; the others in settings.dta.
  const bool in_conf = settings::ExtraSettings::IsKnownKey(args[1]);
  const bool done = set ? settings.Set(args[1], args[2], &message) : settings.Get(args[1], &value, &message);
  if (!done) {
    *err += message + "\n";
    return 1;
  }
  if (set && !settings.SaveFileOf(args[1])) {
    *err += in_conf ? "Unable to write config/quillon.conf.\n" : "Unable to write config/settings.dta.\n";
    return 1;
  }
  *out = set ? args[1] + " set.\n" : value + "\n";
  return 0;
}

int SetupTool::GenerateTls(const std::string& host, std::string* out, std::string* err) {
  if (!MakeFolders(err) || !LockOut(err)) return 1;
  control::SettingsFile settings(clock_, folder_ + "/config/settings.dta");
  std::optional<fileutil::DamageReport> damage;
  const bool loaded = settings.Load(&damage);
  WarnOfDamage(damage, err);
  if (!loaded) {
    *err += "There are no settings yet: run quillon-setup init first.\n";
    return 1;
  }
  const std::string certificate = folder_ + "/config/" + kTlsCertificateFile;
  const std::string key = folder_ + "/config/" + kTlsKeyFile;
  std::string message;
  if (!platform::WriteSelfSignedCertificate(host, certificate, key, &message)) {
    *err += message + "\n";
    return 1;
  }
  const bool was_off = settings.TlsIsOff();
  if (!settings.Set("tls_certificate", certificate, &message) || !settings.Set("tls_key", key, &message) ||
      (was_off && !settings.Set("tls", "optional", &message)) || !settings.SaveFileOf("tls")) {
    *err += "Unable to write config/quillon.conf.\n";
    return 1;
  }
  *out = "Self-signed certificate for " + host + " written to " + certificate + " (key: " + key + ").\n";
  if (was_off) *out += "TLS is now optional for FTP clients (quillon-setup set tls required insists on it).\n";
  return 0;
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
