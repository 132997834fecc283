// The desktop side of the program, as start-up sees it: message boxes, the
// service-running dialog and the main window. The toolkit's windows
// implement it; start-up's desktop branch only decides what to show.
//
// Thread-safety: the main thread only.
#pragma once

#include <string>

#include "app/prompter.h"
#include "platform/clock.h"

namespace quillon::app {

// The clocks the desktop program runs on, as start-up and the windows name
// them: the program runs on the system's clock, tests on their own.
using Clock = platform::Clock;
using SystemClock = platform::SystemClock;

class DesktopShell {
 public:
  virtual ~DesktopShell() = default;
  // Connects to the display. False, with the reason, when there is none.
  [[nodiscard]] virtual bool Start(std::string* message) = 0;
  virtual Prompter& Prompts() = 0;
  // The service-running dialog, modally: true for "End Service", false
  // when the desktop start is to end (the service keeps running).
  virtual bool AskServiceRunning(platform::Clock& clock, const std::string& program_folder) = 0;
  // The main window, modally, until it closes: true when it asked for the
  // server to be restarted as the installed service.
  virtual bool RunMainWindow(platform::Clock& clock, const std::string& program_folder) = 0;
};

}  // namespace quillon::app
