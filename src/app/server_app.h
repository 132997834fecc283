// The program's start-up and lifecycle: the mode from the command line, the
// program folder as working folder, the folders beside the program, the
// version record, the instance lock, and then the service until it stops.
// Every failure before the service runs ends the process with a service-log
// line naming the cause, followed by "UNLOADED", without touching the
// settings, account or group files.
//
// Thread-safety: Run is called once, by the main thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/clock.h"

namespace quillon::app {

inline constexpr const char* kVersionText = "1.03";
inline constexpr const char* kInstanceLockName = "MARROWIND_QUILLONFTPSERVER_1";
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

class ServerApp {
 public:
  explicit ServerApp(platform::Clock& clock) : clock_(clock) {}

  // Runs the program; the process's exit code (0 after a service that ran).
  int Run(int argc, char** argv);

 private:
  platform::Clock& clock_;
};

}  // namespace quillon::app
