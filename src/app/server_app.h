// The program's start-up and lifecycle: the mode from the command line, the
// program folder as working folder, the folders beside the program, the
// version record, the instance lock, and then the service until it stops or
// the desktop's main window until it closes. Every failure before that ends
// the process without touching the settings, account or group files: in
// service mode with a service-log line naming the cause followed by
// "UNLOADED", on the desktop with a message box.
//
// Thread-safety: Run is called once, by the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/desktop_shell.h"
#include "update/updater.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace quillon::app {

inline constexpr char kVersionText[] = "1.03";
// What `quillon-ftp-server --help` prints.
inline constexpr char kServerUsage[] =
    "usage: quillon-ftp-server            run with the desktop (main window and tray icon)\n"
    "       quillon-ftp-server -service   run in the background, controlled through the remote admin\n"
    "       quillon-ftp-server --version  print the version\n"
    "The program keeps its files beside it: config/, logs/, accountlogs/, temp/ and\n"
    "remoteadmin/. quillon-setup prepares and changes them.\n";
inline constexpr const char* kInstanceLockName = "MARROWIND_QUILLONFTPSERVER_1";
// Held by a desktop start while it deals with a running service.
inline constexpr const char* kServiceDealingLockName = "MARROWIND_QUILLONFTPSERVER_2";
inline constexpr const char* kOldProgramName = "quillon-ftp-server.old";

struct Version {
  int major = 0;
  int minor = 0;
  int third = 0;
  auto operator<=>(const Version&) const = default;
};

// "%d.%d.%d": each missing field reads as 0 ("1.03" is 1, 3, 0).
Version ParseVersion(std::string_view text);
// Service mode: the command line is longer than 8 characters and ends with
// "-service" in any case.
bool IsServiceCommandLine(std::string_view command_line);

// An update of `program_file` (the server program) from the configured
// update server, checked against this build's release key.
update::Updater::Job UpdateJob(const std::string& program_file);

// The first of the program folder, its "config" folder and the stored files
// there that the desktop must be able to change but cannot ("" when all
// can be changed).
std::string FirstUnwritablePath(const std::string& program_folder);
// The message for a program folder this user cannot change.
std::string UnwritableFolderMessage(const std::string& path, const std::string& program);

class ServerApp {
 public:
  explicit ServerApp(platform::Clock& clock) : clock_(clock) {}

  // Runs the program; the process's exit code (0 after a service that ran
  // and saved at its stop, or a desktop that opened). Without `desktop`
  // only service mode runs.
  int Run(int argc, char** argv, DesktopShell* desktop = nullptr);

  // The service-process wait of a desktop start that stopped the service.
  static constexpr int kLockTries = 20;
  static constexpr std::uint32_t kLockTryMs = 1000;

 private:
  int RunService(const std::string& folder);
  int RunDesktop(const std::string& folder, DesktopShell& desktop);
  // Takes the instance lock after the service was told to stop, waiting
  // for its process to let go of it.
  bool AwaitInstanceLock(const std::string& folder, platform::InstanceLock* lock);

  platform::Clock& clock_;
};

}  // namespace quillon::app
