// Installs, removes, starts and stops the server as a background service.
//
// A service is a record in the service folder (QUILLON_SERVICE_DIR, else
// /var/lib/quillon-ftp-server/services): "<name>.service" holds its display
// name, program, argument and start type; "<name>.pid" holds the id of its
// running process, written by the service process itself. A service counts
// as running while that process lives with the record's command line.
// When systemd manages the machine and the default service folder is in use,
// install also writes and enables a systemd unit, so the service starts at
// boot.
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

  // `program`: the server program that the service runs.
  explicit ServiceManager(std::string program);

  static std::string ServiceFolder();

  // False when the program file cannot be found or the record not written.
  [[nodiscard]] bool Install(const std::string& name, const std::string& display_name,
                             const std::string& argument);
  bool Exists(const std::string& name) const;
  [[nodiscard]] bool Remove(const std::string& name);
  bool IsRunning(const std::string& name) const;
  // Asks the running service to stop; does not wait for it to end.
  [[nodiscard]] bool Stop(const std::string& name);
  // Waits up to `timeout_ms` for the noted process of the service to end,
  // then removes its pid note (a service that serves as another user cannot
  // remove it itself). True when it ended.
  bool AwaitEnd(const std::string& name, platform::Clock& clock, std::uint32_t timeout_ms);
  [[nodiscard]] bool Start(const std::string& name);

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

  const std::string program_;
};

}  // namespace quillon::app
