// quillon-setup: configures a server program folder without a desktop.
//
//   init [--ftp-port N] [--admin-port N] [--admin-password P] [--force]
//   account add NAME --password P --root DIR [--rights LETTERS]
//   account list | account remove NAME
//   set KEY VALUE | get KEY
//   service install | remove | start | stop | status | reload
//   update
//   tls generate HOST
//
// Changes to the configuration are refused while a server holds the
// instance lock (it would overwrite them when it stops). Records are checked
// with the same rules and messages as the account editors.
//
// Thread-safety: one tool per thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/process.h"

namespace quillon::app {

class SetupTool {
 public:
  // Rights letters: r read files, w write (upload) files, m modify files,
  // l list folders, c create folders, d modify (remove, rename) folders.
  static constexpr const char* kRightLetters = "rwmlcd";
  // How often "update" looks at the updater's progress.
  static constexpr std::uint32_t kUpdatePollMs = 100;
  // What "tls generate" writes into the config folder.
  static constexpr const char* kTlsCertificateFile = "tls-certificate.pem";
  static constexpr const char* kTlsKeyFile = "tls-key.pem";

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
  int Account(const std::vector<std::string>& args, std::string* out, std::string* err);
  // "set KEY VALUE" and "get KEY".
  int Setting(const std::vector<std::string>& args, std::string* out, std::string* err);
  int Service(const std::vector<std::string>& args, std::string* out, std::string* err);
  // Replaces the server program with a newer signed one; 0 when installed
  // or when none was needed.
  int Update(const std::vector<std::string>& args, std::string* out, std::string* err);
  // Writes a self-signed certificate and key for `host` and points the
  // TLS settings at them (TLS becomes optional if it was off).
  int GenerateTls(const std::string& host, std::string* out, std::string* err);
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

  platform::Clock& clock_;
  const std::string folder_;
  const std::string server_program_;
  platform::InstanceLock lock_;  // taken by LockOut, held until the tool ends
  std::function<void(const std::string&)> print_;
};

}  // namespace quillon::app
