// Installs, removes, starts and stops the server as a background service.
//
// A service is a record in the service folder (QUILLON_SERVICE_DIR, else
// /var/lib/quillon-ftp-server/services): "<name>.service" holds its display
// name, program, argument and start type; "<name>.pid" holds the id of its
// running process, written by the start and by the service process itself.
// The running server is the one that holds the installation's instance
// lock with a service command line (started by this manager, by systemd or
// by hand with -service); without a program folder to look in, the noted
// process while it lives with the record's command line.
// When systemd manages the machine and the default service folder is in use,
// install also writes and enables a systemd unit, so the service starts at
// boot, restarts after a failure and reloads on SIGHUP.
//
// Thread-safety: none needed; each caller uses its own manager.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace quillon::app {

inline constexpr const char* kServiceName = "MARROWIND_QUILLONFTPSERVER_0";
inline constexpr const char* kServiceDisplayName = "Quillon FTP Server";
inline constexpr const char* kServiceArgument = "-service";

class ServiceManager {
 public:
  // How long a stop waits for the service to end (as its systemd unit does).
  static constexpr std::uint32_t kStopWaitMs = 60'000;
  static constexpr std::uint32_t kEndPollMs = 50;
  // How long a start waits for the service to report that it runs, and a
  // reload for its answer in the service log.
  static constexpr std::uint32_t kStartWaitMs = 30'000;
  static constexpr std::uint32_t kReloadWaitMs = 15'000;

  // What a start or a reload came to.
  struct Outcome {
    enum class Kind {
      kDone,            // started and initialised; reloaded
      kAlreadyRunning,  // a start found the server running
      kNotRunning,      // a reload found no server
      kFailed,          // the start ended, the reload was refused or not sent
      kNoAnswer,        // nothing told within the wait
    };
    Kind kind = Kind::kFailed;
    int pid = 0;       // the server's process, when known
    std::string line;  // the service-log line that tells why ("" when none)
  };

  // `program`: the server program that the service runs; `program_folder`
  // (may be ""): its folder, where the instance lock and the service log are.
  explicit ServiceManager(std::string program, std::string program_folder = {});

  static std::string ServiceFolder();

  // False when the program file cannot be found or the record not written.
  [[nodiscard]] bool Install(const std::string& name, const std::string& display_name,
                             const std::string& argument);
  bool Exists(const std::string& name) const;
  [[nodiscard]] bool Remove(const std::string& name);
  bool IsRunning(const std::string& name) const { return RunningProcess(name) != 0; }
  // The running server's process (see above); 0 when none runs.
  int RunningProcess(const std::string& name) const;
  // Asks the running service to stop; does not wait for it to end. *pid
  // (may be null) gets the process asked.
  [[nodiscard]] bool Stop(const std::string& name, int* pid = nullptr);
  // Waits up to `timeout_ms` for process `pid` to end, then removes the
  // service's pid note when it names it (a service that serves as another
  // user cannot remove it itself). True when it ended.
  bool AwaitEnd(const std::string& name, int pid, platform::Clock& clock, std::uint32_t timeout_ms);
  // Starts the installed service, unless a server runs already, and waits
  // up to `timeout_ms` until it reports "#OK - INITIALISED" or ends; a
  // start that ended carries the last "#ERROR" line it wrote.
  Outcome Start(const std::string& name, platform::Clock& clock, std::uint32_t timeout_ms);
  // Asks the running server to reload its configuration (through systemd
  // when the service has a unit) and waits up to `timeout_ms` for the
  // "#OK - RELOADED" or "#WARNING - RELOAD REFUSED" line it writes.
  Outcome Reload(const std::string& name, platform::Clock& clock, std::uint32_t timeout_ms);

  // The systemd unit for a program and its argument: the program's path
  // quoted and escaped for ExecStart= (blanks, quotes, backslashes, "%",
  // "$"). "" for texts that cannot go into a unit (line breaks).
  static std::string UnitText(const std::string& display_name, const std::string& program,
                              const std::string& argument);

  // The process of an installed service notes its own id while it runs.
  static void NoteRunning(const std::string& name, int pid);
  static void NoteEnded(const std::string& name, int pid);

 private:
  struct Record {
    std::string display_name;
    std::string program;
    std::string argument;
    std::string unit;  // the systemd unit written at install, if any
    std::string CommandLine() const { return program + " " + argument; }
  };

  static std::string RecordPath(const std::string& name);
  static std::string PidPath(const std::string& name);
  static bool ReadRecord(const std::string& name, Record* record);
  static int ReadPid(const std::string& name);
  // Writes and enables a unit for systemd; "" when systemd is not in use.
  static std::string InstallUnit(const std::string& name, const Record& record);
  // The service log's path ("" without a program folder).
  std::string ServiceLogPath() const;

  const std::string program_;
  const std::string program_folder_;
};

}  // namespace quillon::app
