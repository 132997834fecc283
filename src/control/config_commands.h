// The set-up tool's commands on accounts, groups and settings, written once
// for the two places they run: in quillon-setup on the files while no
// server runs (FileTarget), and inside the running server on its live
// objects (LiveTarget) when the tool hands a command over through the
// control socket (control_channel.h), so the change takes effect at once
// and the server's next save keeps it.
//
//   account add NAME [RECORD OPTIONS]      group add NAME [RECORD OPTIONS]
//   account set NAME RECORD OPTIONS        group set NAME RECORD OPTIONS
//   account show|remove NAME               group show|remove NAME
//   account list                           group list
//   account|group vfolder add NAME VNAME DIR [--rights LETTERS]
//   account|group vfolder remove NAME VNAME
//   set [KEY VALUE]                        get KEY
//
// Records are checked with the editors' rules and messages
// (RecordControl::Check), virtual folders with theirs
// (VirtualFolder::Validate), settings with the settings pages' checks
// (SettingsControl). Options are parsed and applied by RecordOptions.
//
// Thread-safety: one command at a time per ConfigCommands; the target's
// stores and settings lock themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "accounts/account_record.h"
#include "control/record_control.h"
#include "control/settings_control.h"

namespace quillon::settings {
class ServerSettings;
}

namespace quillon::control {

class SettingsFile;

// What a command came to: the exit code and what it prints.
struct CommandResult {
  static constexpr int kDone = 0;
  static constexpr int kRefused = 1;
  static constexpr int kBadUsage = 2;  // err stays empty: the caller prints its usage
  int code = kDone;
  std::string out;
  std::string err;
};

// "--name value" options (and bare "--flag"s) among positional words.
struct CommandOptions {
  std::map<std::string, std::string> values;
  std::vector<std::string> words;

  // False with a message for an option that is not allowed or lacks a value.
  [[nodiscard]] bool Parse(const std::vector<std::string>& args, std::size_t from,
                           const std::vector<std::string>& with_value,
                           std::initializer_list<const char*> flags, std::string* err);
  bool Has(const std::string& name) const { return values.count(name) > 0; }
  std::string Get(const std::string& name, std::string fallback = {}) const;
};

// The record options of "account|group add|set" and how they change a record.
class RecordOptions {
 public:
  // Rights letters: r read files, w upload files, m modify files, l list
  // folders, c create folders, d remove and rename folders.
  static constexpr const char* kRightLetters = "rwmlcd";
  static const std::vector<std::string>& Names();

  // Applies every option in `options` to *record: a value turns the
  // matching "use" flag on, 0 or "off" turns it off. False with a message
  // for a value the option cannot take; *record is then partly changed.
  [[nodiscard]] static bool Apply(const CommandOptions& options, bool is_group,
                                  accounts::AccountRecord* record, std::string* message);
  // The letters of `text` as rights; false with a message for another letter.
  [[nodiscard]] static bool ParseRights(const std::string& text, accounts::AccessRights* rights,
                                        std::string* message);
  static std::string RightsText(accounts::AccessRights rights);
  // Every field of `record` in "key: value" lines; never the password.
  static std::string Describe(const accounts::AccountRecord& record, bool is_group);
};

// What the commands work on.
class ConfigTarget {
 public:
  virtual ~ConfigTarget() = default;
  // The settings, whose lock the commands take around each use.
  virtual settings::ServerSettings& Settings() = 0;
  virtual RecordControl Records(RecordKind kind) = 0;
  // The first fault of `values`, the settings as a change would leave them.
  [[nodiscard]] virtual SettingsFault Check(SettingsSnapshot* values) = 0;
  // After a settings.dta key changed: applies it and saves. False with *message.
  [[nodiscard]] virtual bool CommitSettings(std::string* message) = 0;
  // Whether config/quillon.conf may be written from here (else false with
  // *why), and the save of a change to it (false with *message).
  virtual bool WritesConf(std::string* why) const = 0;
  [[nodiscard]] virtual bool CommitConf(std::string* message) = 0;
  // After a record of `kind` changed: applies it to logged-in accounts and
  // saves. False with *message.
  [[nodiscard]] virtual bool CommitRecords(RecordKind kind, std::string* message) = 0;
  // A line to print after `key` was set ("" for none).
  virtual std::string NoteAfterSet(const std::string& /*key*/) const { return {}; }
};

// The files of a program folder while no server runs on them. The caller
// loads them (and holds the instance lock).
class FileTarget final : public ConfigTarget {
 public:
  FileTarget(SettingsFile& settings, accounts::AccountStore& accounts, accounts::AccountStore& groups);
  settings::ServerSettings& Settings() override;
  RecordControl Records(RecordKind kind) override;
  SettingsFault Check(SettingsSnapshot* values) override;
  bool CommitSettings(std::string* message) override;
  bool WritesConf(std::string*) const override { return true; }
  bool CommitConf(std::string* message) override;
  bool CommitRecords(RecordKind kind, std::string* message) override;

 private:
  SettingsFile& settings_;
  accounts::AccountStore& accounts_;
  accounts::AccountStore& groups_;
};

// The running server's objects, changed and saved as the remote admin's
// pages change and save them. quillon.conf stays root's: the tool writes it.
class LiveTarget final : public ConfigTarget {
 public:
  // `remote_admin` may be null when no remote admin runs in the process.
  LiveTarget(ftp::FtpServer& server, RemoteAdminListener* remote_admin);
  settings::ServerSettings& Settings() override;
  RecordControl Records(RecordKind kind) override;
  SettingsFault Check(SettingsSnapshot* values) override;
  bool CommitSettings(std::string* message) override;
  bool WritesConf(std::string* why) const override;
  bool CommitConf(std::string* message) override;
  bool CommitRecords(RecordKind kind, std::string* message) override;
  // The remote admin's listener keeps its port until the server starts again.
  std::string NoteAfterSet(const std::string& key) const override;

 private:
  ftp::FtpServer& server_;
  RemoteAdminListener* remote_admin_;
};

class ConfigCommands {
 public:
  explicit ConfigCommands(ConfigTarget& target) : target_(target) {}

  // True for the commands this class runs (account, group, set, get).
  static bool Handles(const std::vector<std::string>& args);
  // True for those that change nothing.
  static bool OnlyReads(const std::vector<std::string>& args);
  // True for "set KEY VALUE" of a quillon.conf key.
  static bool SetsConf(const std::vector<std::string>& args);

  CommandResult Run(const std::vector<std::string>& args);

  // Sets settings.dta keys together, whole or not at all: each value is
  // read as `set KEY VALUE` reads it, then the settings as they would be
  // are checked as one, then stored, applied and saved. Refused with the
  // first fault's text; nothing is printed when done.
  CommandResult SetSettings(const std::vector<std::pair<std::string, std::string>>& values);

  // The refusal text of a settings fault, in the tool's words.
  static const char* FaultText(SettingsFault fault);

 private:
  CommandResult Records(const std::vector<std::string>& args);
  CommandResult Folder(RecordKind kind, const CommandOptions& options);
  CommandResult Setting(const std::vector<std::string>& args);
  CommandResult ListSettings();
  // Stores a checked edit of `previous_name` ("" for a new record) and commits it.
  CommandResult Store(RecordKind kind, const accounts::AccountRecord& record, const std::string& previous_name,
                      std::string done_text);

  ConfigTarget& target_;
};

}  // namespace quillon::control
