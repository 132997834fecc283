// quillon-setup: configures a server program folder without a desktop.
//
//   init [--ftp-port N] [--admin-port N] [--admin-password P] [--no-tls] [--force]
//   account add|set|show|remove|list|vfolder ...   group add|set|show|remove|list|vfolder ...
//   set [KEY VALUE] | get KEY
//   service install | remove | start | stop | status | reload
//   update
//   tls generate HOST
//   token add NAME [--read-only] | token list | token remove NAME
//
// init writes the first settings: passwords stored as one-way hashes, the
// remote admin on HTTPS with a self-signed certificate (unless --no-tls),
// and the admin password it makes up left in config/admin-password.txt,
// owner-only, for the administrator to read once (it is never printed).
//
// The account, group, set and get commands are control::ConfigCommands. While
// no server runs they work on the files, under the instance lock. While one
// holds the lock, they go to it through its control socket
// (config/control.sock), so the change takes effect at once and its next
// save keeps it; a quillon.conf key, which only root may write, is written
// here and the server asked to read the file again; so are the API tokens
// (config/tokens.conf, control::TokenCommands). A server that does not
// answer there (an older one, or one another user runs) leaves its
// configuration alone. The other commands that change files are refused
// while a server runs.
//
// Thread-safety: one tool per thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "control/config_commands.h"
#include "control/settings_file.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace quillon::app {

class SetupTool {
 public:
  // How often "update" looks at the updater's progress.
  static constexpr std::uint32_t kUpdatePollMs = 100;
  // What "tls generate" writes into the config folder.
  static constexpr const char* kTlsCertificateFile = "tls-certificate.pem";
  static constexpr const char* kTlsKeyFile = "tls-key.pem";
  // Where init leaves an admin password it made up: owned by the user who
  // ran it, mode 0600. The server never reads it nor hands it to its user.
  static constexpr const char* kAdminPasswordFile = "admin-password.txt";

  // `folder`: the program folder; `server_program`: the server's file.
  SetupTool(platform::Clock& clock, std::string folder, std::string server_program);

  // Runs one command; what it prints goes to *out, errors to *err. Returns
  // the exit code: 0 on success, 1 on refused input, 2 on bad usage.
  int Run(const std::vector<std::string>& args, std::string* out, std::string* err);
  // Where "update" prints its status lines as they change (otherwise they
  // are added to *out at the end).
  void SetPrinter(std::function<void(const std::string&)> print) { print_ = std::move(print); }

 private:
  int Init(const std::vector<std::string>& args, std::string* out, std::string* err);
  // The commands of control::ConfigCommands, on the files or through a running server.
  int Configure(const std::vector<std::string>& args, std::string* out, std::string* err);
  // Runs them on the files.
  int OnFiles(const std::vector<std::string>& args, std::string* out, std::string* err);
  // "set KEY VALUE" of a quillon.conf key while a server runs.
  int SetConfLive(const std::vector<std::string>& args, std::string* out, std::string* err);
  // Asks the running server to read its configuration files again: its
  // reply, or kRefused with why it could not be asked (err without its
  // final line end).
  control::CommandResult RequestReload();
  // Asks a running server to read its configuration files again, because
  // `file` changed; what came of it goes to *out.
  void AskServerToReload(const std::string& file, std::string* out);
  // The token commands, on config/tokens.conf.
  int Token(const std::vector<std::string>& args, std::string* out, std::string* err);
  std::string ControlSocketPath() const;
  // Adds what a command printed; the usage for a command used wrongly.
  static int Print(const control::CommandResult& result, std::string* out, std::string* err);
  int Service(const std::vector<std::string>& args, std::string* out, std::string* err);
  // Replaces the server program with a newer signed one; 0 when installed
  // or when none was needed.
  int Update(const std::vector<std::string>& args, std::string* out, std::string* err);
  // "tls generate HOST": MakeCertificate under the instance lock.
  int GenerateTls(const std::string& host, std::string* out, std::string* err);
  // Loads settings.dta and quillon.conf; false with *err (and a warning for
  // a damaged file) when there are no settings yet.
  bool LoadForTls(control::SettingsFile& settings, std::string* err);
  // Writes a self-signed certificate and key for `host` into config/ and
  // points the TLS settings at them (TLS becomes optional for FTP if it was
  // off); says so in *out. False with *err when a file cannot be written.
  // REQUIRES: the instance lock held, `settings` loaded.
  [[nodiscard]] bool MakeCertificate(control::SettingsFile& settings, const std::string& host,
                                     std::string* out, std::string* err);
  // `https`: the remote admin speaks HTTPS (admin_tls on) with the
  // certificate quillon.conf names, or, when it names none, with one made
  // by MakeCertificate for this machine's host name ("localhost" when it has
  // none). Otherwise admin_tls is off. False with *err, and what to do, when
  // no certificate could be made or quillon.conf not written.
  // REQUIRES: the instance lock held, settings.dta written.
  [[nodiscard]] bool ChooseAdminTls(bool https, std::string* out, std::string* err);
  // With a password init made up (`generated` not empty): writes it to a
  // new owner-only config/admin-password.txt. With none (the administrator
  // gave one), removes such a file of an earlier init. *line gets the
  // "Admin password:" line init prints, which never holds the password.
  // False with *err when the file cannot be written or removed.
  [[nodiscard]] bool LeaveAdminPassword(const std::string& generated, std::string* line, std::string* err);
  // Holds the instance lock for the rest of the command; false (with the
  // message) while a server runs.
  bool LockOut(std::string* err);
  bool MakeFolders(std::string* err);
  // As root: makes sure the user that config/quillon.conf names exists when
  // it is the dedicated one, and where the file names none and `choose` (a
  // new installation), creates that user when the system lacks it and writes
  // it there. An installation that names none keeps serving as before.
  // What was done goes to *out.
  bool ChooseServingUser(bool choose, std::string* out, std::string* err);
  // Reads config/quillon.conf at `path` (none is no fault) into `extra`
  // before one key is chosen. False with *err when it cannot be read.
  [[nodiscard]] static bool ReadExtraForChoice(const std::string& path, settings::ExtraSettings* extra,
                                               std::string* err);
  // A new installation stores passwords as one-way hashes: writes
  // "password_storage = hashed" to config/quillon.conf unless the file
  // already names a form. False with *err when the file cannot be read or
  // written.
  [[nodiscard]] bool ChoosePasswordStorage(std::string* err);

  platform::Clock& clock_;
  const std::string folder_;
  const std::string server_program_;
  platform::InstanceLock lock_;  // taken by LockOut, held until the tool ends
  std::function<void(const std::string&)> print_;
};

}  // namespace quillon::app
