// The desktop program on the toolkit: connects to the display only when
// start-up chooses the desktop (the service never touches it), shows the
// service-running dialog and runs the main window until it closes.
#pragma once

#include "app/desktop_shell.h"
#include "ui/wx_prompter.h"

namespace quillon::ui {

class WxDesktopShell final : public app::DesktopShell {
 public:
  WxDesktopShell(int argc, char** argv) : argc_(argc), argv_(argv) {}
  ~WxDesktopShell() override;

  bool Start(std::string* message) override;
  app::Prompter& Prompts() override { return prompter_; }
  bool AskServiceRunning(app::Clock& clock, const std::string& program_folder) override;
  bool RunMainWindow(app::Clock& clock, const std::string& program_folder) override;

 private:
  int argc_;
  char** argv_;
  bool started_ = false;
  WxPrompter prompter_;
};

}  // namespace quillon::ui
