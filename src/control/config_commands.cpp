#include "control/config_commands.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "accounts/account_store.h"
#include "control/settings_file.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"
#include "ftp/ftp_server.h"
#include "platform/users.h"
#include "runtime/critical_section.h"
#include "settings/server_settings.h"

namespace quillon::control {

namespace {

using accounts::AccountRecord;
using Guard = runtime::CriticalSection::Guard;
using settings::ExtraSettings;
using settings::ServerSettings;

constexpr accounts::AccessRights kRightBits[] = {
    accounts::kFileRead,   accounts::kFileWrite,    accounts::kFileModify,
    accounts::kFolderView, accounts::kFolderCreate, accounts::kFolderModify};

// A remote admin that is not running: any port will do.
class NoRemoteAdmin final : public RemoteAdminListener {
 public:
  bool IsPortAvailable(std::uint32_t) override { return true; }
};

CommandResult Refused(std::string text) {
  CommandResult result;
  result.code = CommandResult::kRefused;
  result.err = std::move(text) + "\n";
  return result;
}

CommandResult BadUsage() {
  CommandResult result;
  result.code = CommandResult::kBadUsage;
  return result;
}

CommandResult Done(std::string text) {
  CommandResult result;
  result.out = std::move(text);
  return result;
}

bool IsOff(const std::string& text) { return fileutil::EqualNoCase(text, "off"); }

// A whole number from `lowest` to `highest`; false with a message naming the option.
bool ReadNumber(const std::string& option, const std::string& text, std::int64_t lowest, std::int64_t highest,
                std::int64_t* value, std::string* message) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string digits = negative ? text.substr(1) : text;
  if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) {
    *message = "The value of " + option + " must be a whole number, not \"" + text + "\".";
    return false;
  }
  const std::int64_t number = (negative ? -1 : 1) * std::stoll(digits);
  if (number < lowest || number > highest) {
    *message = "The value of " + option + " must be from " + std::to_string(lowest) + " to " +
               std::to_string(highest) + ".";
    return false;
  }
  *value = number;
  return true;
}

bool ReadSwitch(const std::string& option, const std::string& text, bool* value, std::string* message) {
  if (fileutil::EqualNoCase(text, "on")) {
    *value = true;
  } else if (IsOff(text)) {
    *value = false;
  } else {
    *message = "The value of " + option + " must be on or off.";
    return false;
  }
  return true;
}

// A limit with its "use" flag: a number from 1 turns it on, 0 or "off" off.
bool ReadLimit(const std::string& option, const std::string& text, bool* use, std::uint32_t* value,
               std::string* message) {
  std::int64_t number = 0;
  if (!IsOff(text) && !ReadNumber(option, text, 0, std::numeric_limits<std::uint32_t>::max(), &number, message))
    return false;
  *use = number > 0;
  if (number > 0) *value = static_cast<std::uint32_t>(number);
  return true;
}

std::string AbsolutePath(std::string path) {
  if (!path.empty() && path[0] != '/') path = fileutil::AbsoluteFolder(path);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string OnOff(bool value) { return value ? "on" : "off"; }

std::string Limit(bool use, std::uint32_t value) { return use ? std::to_string(value) : "off"; }

std::string IpListText(bool use, const runtime::IpRangeList& list) {
  if (!use) return "off";
  std::string text;
  for (std::size_t i = 0; i < list.Count(); ++i) text += (i == 0 ? "" : ",") + list.EntryText(i);
  return text.empty() ? "(empty)" : text;
}

const char* KindWord(RecordKind kind) { return kind == RecordKind::kAccount ? "Account" : "Group"; }

// The FTP path of a virtual folder as the editors store it: a leading "/".
std::string FolderName(const std::string& name) { return !name.empty() && name[0] == '/' ? name : "/" + name; }

}  // namespace

bool CommandOptions::Parse(const std::vector<std::string>& args, std::size_t from,
                           const std::vector<std::string>& with_value, std::initializer_list<const char*> flags,
                           std::string* err) {
  for (std::size_t i = from; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      words.push_back(arg);
      continue;
    }
    if (std::any_of(flags.begin(), flags.end(), [&arg](const char* name) { return arg == name; })) {
      values[arg] = "1";
      continue;
    }
    if (std::find(with_value.begin(), with_value.end(), arg) == with_value.end()) {
      *err = "Unknown option " + arg + ".\n";
      return false;
    }
    if (i + 1 >= args.size()) {
      *err = "The option " + arg + " needs a value.\n";
      return false;
    }
    values[arg] = args[++i];
  }
  return true;
}

std::string CommandOptions::Get(const std::string& name, std::string fallback) const {
  auto found = values.find(name);
  return found == values.end() ? fallback : found->second;
}

const std::vector<std::string>& RecordOptions::Names() {
  static const std::vector<std::string> names = {
      "--password", "--root", "--rights", "--group", "--max-size", "--max-upload-kbs", "--max-download-kbs",
      "--credits", "--enable-credits", "--credits-per-upload-kb", "--credits-per-download-kb", "--enabled",
      "--start-dir", "--max-users", "--always-allow-login", "--allow-password-change", "--account-log"};
  return names;
}

bool RecordOptions::ParseRights(const std::string& text, accounts::AccessRights* rights, std::string* message) {
  accounts::AccessRights bits = 0;
  if (text != "-") {
    for (char letter : text) {
      const char* at = std::strchr(kRightLetters, letter);
      if (letter == '\0' || at == nullptr) {
        *message = std::string("Unknown right letter '") + letter + "': use r, w, m, l, c or d.";
        return false;
      }
      bits |= kRightBits[at - kRightLetters];
    }
  }
  *rights = bits;
  return true;
}

std::string RecordOptions::RightsText(accounts::AccessRights rights) {
  std::string text;
  for (std::size_t i = 0; i < std::size(kRightBits); ++i)
    if (rights & kRightBits[i]) text.push_back(kRightLetters[i]);
  return text.empty() ? "-" : text;
}

bool RecordOptions::Apply(const CommandOptions& options, bool is_group, AccountRecord* record,
                          std::string* message) {
  constexpr std::int64_t kMostUnsigned = std::numeric_limits<std::uint32_t>::max();
  constexpr std::int64_t kLeastSigned = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kMostSigned = std::numeric_limits<std::int32_t>::max();
  std::int64_t number = 0;
  for (const auto& [option, value] : options.values) {
    if (option == "--password") {
      if (is_group) {
        *message = "A group has no password.";
        return false;
      }
      record->SetPassword(value);
    } else if (option == "--root") {
      record->mUseRootFolder = !IsOff(value);
      record->SetRootFolder(IsOff(value) ? "" : AbsolutePath(value));
    } else if (option == "--rights") {
      if (!ParseRights(value, &record->mRights, message)) return false;
    } else if (option == "--group") {
      record->mInGroup = !IsOff(value);
      record->SetGroup(IsOff(value) ? "" : value);
    } else if (option == "--max-size") {
      if (!ReadLimit(option, value, &record->mUseMaxSize, &record->mMaxSize, message)) return false;
    } else if (option == "--max-upload-kbs") {
      if (!ReadLimit(option, value, &record->mUseMaxUploadSpeed, &record->mMaxUploadSpeed, message)) return false;
    } else if (option == "--max-download-kbs") {
      if (!ReadLimit(option, value, &record->mUseMaxDownloadSpeed, &record->mMaxDownloadSpeed, message))
        return false;
    } else if (option == "--credits") {
      if (!ReadNumber(option, value, 0, kMostUnsigned, &number, message)) return false;
      record->mCurrentCredits = static_cast<std::uint32_t>(number);
    } else if (option == "--enable-credits") {
      if (!ReadSwitch(option, value, &record->mUseCredits, message)) return false;
    } else if (option == "--credits-per-upload-kb" || option == "--credits-per-download-kb") {
      // A negative number of credits per KB is a cost, a positive one a gain.
      if (!ReadNumber(option, value, kLeastSigned, kMostSigned, &number, message)) return false;
      (option == "--credits-per-upload-kb" ? record->mUploadCredits : record->mDownloadCredits) =
          static_cast<std::int32_t>(number);
    } else if (option == "--enabled") {
      if (!ReadSwitch(option, value, &record->mEnabled, message)) return false;
    } else if (option == "--start-dir") {
      record->mUseStartDir = !IsOff(value);
      record->SetStartDir(IsOff(value) ? "" : value);
    } else if (option == "--max-users") {
      if (!ReadLimit(option, value, &record->mUseMaxUsers, &record->mMaxUsers, message)) return false;
    } else if (option == "--always-allow-login") {
      if (!ReadSwitch(option, value, &record->mAlwaysAllowLogin, message)) return false;
    } else if (option == "--allow-password-change") {
      if (!ReadSwitch(option, value, &record->mAllowPassChange, message)) return false;
    } else if (option == "--account-log") {
      if (!ReadSwitch(option, value, &record->mUseLogs, message)) return false;
    }
  }
  return true;
}

std::string RecordOptions::Describe(const AccountRecord& record, bool is_group) {
  std::string text = "name: " + record.Name() + "\n";
  text += "enabled: " + OnOff(record.mEnabled) + "\n";
  if (!is_group) text += std::string("password: ") + (record.Password().empty() ? "not set" : "set") + "\n";
  text += "group: " + (record.mInGroup ? record.Group() : std::string("off")) + "\n";
  text += "root: " + (record.mUseRootFolder ? record.RootFolder() : std::string("off")) + "\n";
  text += "start-dir: " + (record.mUseStartDir ? record.StartDir() : std::string("off")) + "\n";
  text += "rights: " + RightsText(record.mRights) + "\n";
  text += "max-size: " + Limit(record.mUseMaxSize, record.mMaxSize) + (record.mUseMaxSize ? " MB\n" : "\n");
  text += "max-upload-kbs: " + Limit(record.mUseMaxUploadSpeed, record.mMaxUploadSpeed) + "\n";
  text += "max-download-kbs: " + Limit(record.mUseMaxDownloadSpeed, record.mMaxDownloadSpeed) + "\n";
  text += "max-users: " + Limit(record.mUseMaxUsers, record.mMaxUsers) + "\n";
  text += "enable-credits: " + OnOff(record.mUseCredits) + "\n";
  text += "credits: " + std::to_string(record.mCurrentCredits) + "\n";
  text += "credits-per-upload-kb: " + std::to_string(record.mUploadCredits) + "\n";
  text += "credits-per-download-kb: " + std::to_string(record.mDownloadCredits) + "\n";
  text += "always-allow-login: " + OnOff(record.mAlwaysAllowLogin) + "\n";
  text += "allow-password-change: " + OnOff(record.mAllowPassChange) + "\n";
  text += "safe-ips: " + IpListText(record.mUseSafeIPs, record.mSafeIPs) + "\n";
  text += "blocked-ips: " + IpListText(record.mUseBlockIPs, record.mBlockIPs) + "\n";
  text += "account-log: " + OnOff(record.mUseLogs) + "\n";
  for (const accounts::VirtualFolder& folder : record.VirtualFolders()) {
    text += "vfolder: " + folder.Name() + " -> " + folder.Path() + " (rights " + RightsText(folder.mRights);
    if (!folder.mVisible) text += ", hidden";
    if (folder.mUseMaxSize) text += ", max-size " + std::to_string(folder.mMaxSize) + " MB";
    text += ")\n";
  }
  return text;
}

FileTarget::FileTarget(SettingsFile& settings, accounts::AccountStore& accounts, accounts::AccountStore& groups)
    : settings_(settings), accounts_(accounts), groups_(groups) {}

ServerSettings& FileTarget::Settings() { return settings_.Settings(); }

RecordControl FileTarget::Records(RecordKind kind) {
  return RecordControl(kind == RecordKind::kAccount ? accounts_ : groups_, groups_, kind,
                       settings_.Settings().Extra().HashPasswords());
}

SettingsFault FileTarget::Check(SettingsSnapshot* values) {
  // No server runs on the files: whether a port is free is the start's to find.
  NoRemoteAdmin remote_admin;
  return SettingsControl::CheckWith(values, SettingsScope::kAll, [](std::uint32_t) { return true; },
                                    &remote_admin);
}

bool FileTarget::CommitSettings(std::string* message) {
  if (settings_.SaveFileOf("mPort")) return true;
  *message = "Unable to write config/settings.dta.";
  return false;
}

bool FileTarget::CommitConf(std::string* message) {
  if (settings_.SaveFileOf("run_as_user")) return true;
  *message = "Unable to write config/quillon.conf.";
  return false;
}

bool FileTarget::CommitRecords(RecordKind kind, std::string* message) {
  const bool account = kind == RecordKind::kAccount;
  if ((account ? accounts_ : groups_).Save()) return true;
  *message = account ? "Unable to write config/accounts.dta." : "Unable to write config/groups.dta.";
  return false;
}

LiveTarget::LiveTarget(ftp::FtpServer& server, RemoteAdminListener* remote_admin)
    : server_(server), remote_admin_(remote_admin) {}

ServerSettings& LiveTarget::Settings() { return server_.Settings(); }

RecordControl LiveTarget::Records(RecordKind kind) { return RecordControl(server_, kind); }

SettingsFault LiveTarget::Check(SettingsSnapshot* values) {
  NoRemoteAdmin no_remote_admin;
  return SettingsControl(server_, remote_admin_ != nullptr ? remote_admin_ : &no_remote_admin)
      .Check(values, SettingsScope::kAll);
}

bool LiveTarget::CommitSettings(std::string* message) {
  // As the remote admin's pages commit: the port and limits apply to the
  // listener and to logged-in accounts, then everything is saved.
  SettingsControl control(server_);
  if (!control.ApplyPortChange(message)) {
    *message += ". The FTP Server has now deactivated.";
    return false;
  }
  std::string unsaved;
  if (server_.Save(&unsaved)) return true;
  *message = "Unable to write " + unsaved + ".";
  return false;
}

bool LiveTarget::WritesConf(std::string* why) const {
  *why = "The running server does not write config/quillon.conf: quillon-setup writes it, as root.";
  return false;
}

bool LiveTarget::CommitConf(std::string* message) { return WritesConf(message); }

bool LiveTarget::CommitRecords(RecordKind, std::string* message) { return CommitSettings(message); }

std::string LiveTarget::NoteAfterSet(const std::string& key) const {
  if (key != "mUseRA" && key != "mRAPort") return "";
  return "The remote admin takes " + key + " when the server starts again.\n";
}

bool ConfigCommands::Handles(const std::vector<std::string>& args) {
  if (args.empty()) return false;
  return args[0] == "account" || args[0] == "group" || args[0] == "set" || args[0] == "get";
}

bool ConfigCommands::OnlyReads(const std::vector<std::string>& args) {
  if (args.empty()) return false;
  if (args[0] == "get" || (args[0] == "set" && args.size() == 1)) return true;
  return (args[0] == "account" || args[0] == "group") && args.size() >= 2 &&
         (args[1] == "list" || args[1] == "show");
}

bool ConfigCommands::SetsConf(const std::vector<std::string>& args) {
  return args.size() == 3 && args[0] == "set" && ExtraSettings::IsKnownKey(args[1]);
}

CommandResult ConfigCommands::Run(const std::vector<std::string>& args) {
  if (args.empty()) return BadUsage();
  if (args[0] == "account" || args[0] == "group") return Records(args);
  if (args[0] == "set" || args[0] == "get") return Setting(args);
  return BadUsage();
}

CommandResult ConfigCommands::Records(const std::vector<std::string>& args) {
  const RecordKind kind = args[0] == "account" ? RecordKind::kAccount : RecordKind::kGroup;
  const bool is_group = kind == RecordKind::kGroup;
  CommandOptions options;
  std::string message;
  if (!options.Parse(args, 1, RecordOptions::Names(), {}, &message)) {
    CommandResult result = BadUsage();
    result.err = message;
    return result;
  }
  const std::vector<std::string>& words = options.words;
  const std::string action = words.empty() ? "" : words[0];
  if (action == "vfolder") return Folder(kind, options);
  const bool takes_name = action == "add" || action == "set" || action == "show" || action == "remove";
  if (!((action == "list" && words.size() == 1) || (takes_name && words.size() == 2))) return BadUsage();
  // Only add and set take record options.
  if (!options.values.empty() && action != "add" && action != "set") return BadUsage();
  RecordControl records = target_.Records(kind);

  if (action == "list") {
    std::string text;
    for (const AccountRecord& record : records.List()) {
      text += record.Name() + "\t" + RecordOptions::RightsText(record.mRights) + "\t" +
              (record.mUseRootFolder ? record.RootFolder() : "(group root)") + "\n";
    }
    return Done(text);
  }
  const std::string& name = words[1];
  const std::string no_such = std::string("There is no ") + (is_group ? "group" : "account") + " named " + name + ".";
  if (action == "remove") {
    if (records.Delete(name) == RecordResult::kRecordGone) return Refused(no_such);
    if (!target_.CommitRecords(kind, &message)) return Refused(message);
    return Done(std::string(KindWord(kind)) + " " + name + " removed.\n");
  }
  AccountRecord record;
  if (action == "add") {
    record.SetName(name);
    record.mRights = accounts::kDefaultRights;
    // An account keeps to its own root folder unless --root off leaves it to its group.
    record.mUseRootFolder = !is_group;
  } else if (records.TakeForEdit(name, &record) != RecordResult::kDone) {
    return Refused(no_such);
  }
  if (action == "show") return Done(RecordOptions::Describe(record, is_group));
  if (!RecordOptions::Apply(options, is_group, &record, &message)) return Refused(message);
  return Store(kind, record, action == "add" ? "" : record.Name(),
               std::string(KindWord(kind)) + " " + record.Name() + (action == "add" ? " added.\n" : " changed.\n"));
}

CommandResult ConfigCommands::Store(RecordKind kind, const AccountRecord& record, const std::string& previous_name,
                                    std::string done_text) {
  RecordControl records = target_.Records(kind);
  std::string message;
  if (records.Check(record, previous_name, &message) != RecordResult::kDone) return Refused(message);
  if (!records.Commit(record, previous_name))
    return Refused(std::string("Unable to store the ") + (kind == RecordKind::kAccount ? "account." : "group."));
  if (!target_.CommitRecords(kind, &message)) return Refused(message);
  return Done(std::move(done_text));
}

CommandResult ConfigCommands::Folder(RecordKind kind, const CommandOptions& options) {
  const std::vector<std::string>& words = options.words;
  const std::string action = words.size() >= 2 ? words[1] : "";
  const bool add = action == "add" && words.size() == 5;
  if (!add && !(action == "remove" && words.size() == 4)) return BadUsage();
  for (const auto& [option, value] : options.values)
    if (option != "--rights" || !add) return BadUsage();
  const std::string& name = words[2];
  AccountRecord record;
  if (target_.Records(kind).TakeForEdit(name, &record) != RecordResult::kDone)
    return Refused(std::string("There is no ") + (kind == RecordKind::kAccount ? "account" : "group") + " named " +
                   name + ".");
  std::string message;
  if (!add) {
    const int at = record.FindFolder(FolderName(words[3]));
    if (at < 0) return Refused("There is no virtual folder " + FolderName(words[3]) + " in " + record.Name() + ".");
    record.RemoveFolder(static_cast<std::size_t>(at));
    return Store(kind, record, record.Name(),
                 "Virtual folder " + FolderName(words[3]) + " removed from " + record.Name() + ".\n");
  }
  // The editors' checks of a new folder: its own, then no other of the name.
  accounts::VirtualFolder folder;
  folder.SetName(words[3]);
  folder.SetPath(AbsolutePath(words[4]));
  if (options.Has("--rights") && !RecordOptions::ParseRights(options.Get("--rights"), &folder.mRights, &message))
    return Refused(message);
  if (!folder.Validate(&message)) return Refused(message);
  if (!RecordControl::FolderNameFree(record, folder.Name(), std::nullopt))
    return Refused(RecordControl::kFolderNameTaken);
  record.AddOrReplaceFolder(folder);
  return Store(kind, record, record.Name(), "Virtual folder " + folder.Name() + " added to " + record.Name() + ".\n");
}

CommandResult ConfigCommands::Setting(const std::vector<std::string>& args) {
  const bool set = args[0] == "set";
  if (set && args.size() == 1) return ListSettings();
  if (args.size() != (set ? 3u : 2u)) return BadUsage();
  const std::string& key = args[1];
  ServerSettings& settings = target_.Settings();
  std::string value, message;
  const bool in_conf = ExtraSettings::IsKnownKey(key);
  if (!set) {
    Guard guard(settings.Lock());
    const bool known = in_conf ? settings.Extra().Get(key, &value) : settings.GetAsText(key, &value, &message);
    if (!known) return Refused(message);
    // The admin password is never shown, only whether there is one.
    if (key == "mRAPass") value = value.empty() ? "not set" : "set";
    return Done(value + "\n");
  }
  const std::string& text = args[2];
  if (in_conf) {
    if (!target_.WritesConf(&message)) return Refused(message);
    {
      // Tried on a copy first: a refused value leaves nothing changed.
      Guard guard(settings.Lock());
      ExtraSettings trial = settings.Extra();
      if (!trial.Set(key, text, &message)) return Refused(message);
    }
    platform::UserIdentity user;
    if (key == "run_as_user" && !platform::LookUpUser(text, &user))
      return Refused("There is no user named " + text + " on this system.");
    {
      Guard guard(settings.Lock());
      if (!settings.Extra().Set(key, text, &message)) return Refused(message);
    }
    if (!target_.CommitConf(&message)) return Refused(message);
    return Done(key + " set.\n");
  }
  CommandResult result = SetSettings({{key, text}});
  if (result.code == CommandResult::kDone) result.out = key + " set.\n" + target_.NoteAfterSet(key);
  return result;
}

CommandResult ConfigCommands::SetSettings(const std::vector<std::pair<std::string, std::string>>& values) {
  ServerSettings& settings = target_.Settings();
  std::string message;
  // The settings as the change would leave them, read with the values set
  // and put back under one hold of the lock, so no other reader sees them.
  SettingsSnapshot after;
  {
    Guard guard(settings.Lock());
    std::vector<std::string> before(values.size());
    std::size_t set = 0;
    bool refused = false;
    for (; set < values.size(); ++set) {
      const auto& [key, text] = values[set];
      if (!settings.GetAsText(key, &before[set], &message) || !settings.SetFromText(key, text, &message)) {
        refused = true;
        break;
      }
    }
    if (!refused) after = SettingsControl::ReadLocked(settings);
    std::string ignored;
    while (set-- > 0) [[maybe_unused]] const bool restored = settings.SetFromText(values[set].first, before[set], &ignored);
    if (refused) return Refused(message);
  }
  SettingsFault fault = target_.Check(&after);
  // The remote admin's port is checked by the pages only while it is in
  // use; a port no listener could open is not taken all the same.
  const bool sets_admin_port =
      std::any_of(values.begin(), values.end(), [](const auto& value) { return value.first == "mRAPort"; });
  if (fault == SettingsFault::kNone && sets_admin_port &&
      (after.remote_admin_port == 0 || after.remote_admin_port > SettingsControl::kHighestPort))
    fault = SettingsFault::kAdminPortOutOfRange;
  if (fault != SettingsFault::kNone) return Refused(FaultText(fault));
  {
    Guard guard(settings.Lock());
    for (const auto& [key, text] : values)
      if (!settings.SetFromText(key, text, &message)) return Refused(message);
  }
  if (!target_.CommitSettings(&message)) return Refused(message);
  return Done({});
}

CommandResult ConfigCommands::ListSettings() {
  ServerSettings& settings = target_.Settings();
  std::string text, value, message;
  Guard guard(settings.Lock());
  for (const std::string& key : ServerSettings::KeyNames()) {
    if (!settings.GetAsText(key, &value, &message)) continue;
    // The admin password is never shown.
    if (key == "mRAPass") value = value.empty() ? "not set" : "set";
    text += key + " = " + value + "\n";
  }
  for (const char* key : ExtraSettings::kKeys) {
    if (!settings.Extra().Get(key, &value)) value.clear();
    text += std::string(key) + " = " + value + "\n";
  }
  return Done(text);
}

const char* ConfigCommands::FaultText(SettingsFault fault) {
  switch (fault) {
    case SettingsFault::kNone: return "";
    case SettingsFault::kWelcomeEmpty: return "The welcome message (mWelcomeMsg) may not be empty.";
    case SettingsFault::kWelcomeIllegalChars:
      return "The welcome message (mWelcomeMsg) may not hold any of \"*:;'?><,| or tabs and line ends.";
    case SettingsFault::kHelpEmpty: return "The help message (mHelpMsg) may not be empty.";
    case SettingsFault::kHelpIllegalChars:
      return "The help message (mHelpMsg) may not hold any of \"*:;'?><,| or tabs and line ends.";
    case SettingsFault::kPortOutOfRange: return "The FTP port (mPort) must be from 1 to 65535.";
    case SettingsFault::kPortInUse: return "The FTP port (mPort) is already in use.";
    case SettingsFault::kUploadSpeedZero:
      return "The maximum upload speed (mMaxUploadSpeed) must be greater than 0 while it is in use.";
    case SettingsFault::kDownloadSpeedZero:
      return "The maximum download speed (mMaxDownloadSpeed) must be greater than 0 while it is in use.";
    case SettingsFault::kMaxUsersZero:
      return "The maximum number of users (mMaxUsers) must be greater than 0 while it is in use.";
    case SettingsFault::kMaxPerIpZero:
      return "The maximum number of users per IP (mMaxUsersPerIP) must be greater than 0 while it is in use.";
    case SettingsFault::kIdleTooShort: return "The idle time-out (mIdleTimeOut) must be 5 seconds or more.";
    case SettingsFault::kAdminPasswordEmpty: return "The Remote Admin needs a password (mRAPass) while it is in use.";
    case SettingsFault::kAdminPortOutOfRange: return "The Remote Admin port (mRAPort) must be from 1 to 65535.";
    case SettingsFault::kAdminPortInUse: return "The Remote Admin port (mRAPort) is already in use.";
    case SettingsFault::kAdminPortIsFtpPort:
      return "The Remote Admin port (mRAPort) and FTP port (mPort) are both the same.";
    case SettingsFault::kAdminFolderTooShort:
    case SettingsFault::kAdminFolderNotAbsolute:
      return "The Remote Admin folder (mRAFixToDir) must be an absolute path.";
    case SettingsFault::kAdminFolderMissing: return "The Remote Admin folder (mRAFixToDir) does not exist.";
    case SettingsFault::kAdminPasswordIllegalChars:
      return "The Remote Admin password (mRAPass) may not hold any of \";>< or tabs and line ends.";
    case SettingsFault::kAdminFolderIllegalChars:
      return "The Remote Admin folder (mRAFixToDir) may not hold any of \"*;'?><,| or tabs and line ends.";
  }
  return "";
}

}  // namespace quillon::control
