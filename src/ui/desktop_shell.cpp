#include "ui/desktop_shell.h"

#include <wx/app.h>
#include <wx/init.h>

#include "app/desktop_links.h"
#include "ui/main_window.h"
#include "ui/service_running_dialog.h"

namespace quillon::ui {

namespace {

// The application object: start-up decides what to show, so it has nothing
// to do at initialisation, and the main loop runs only while the main
// window is open.
class DesktopApp final : public wxApp {
 public:
  bool OnInit() override { return true; }
};

}  // namespace

WxDesktopShell::~WxDesktopShell() {
  if (started_) wxEntryCleanup();
}

bool WxDesktopShell::Start(std::string* message) {
  wxApp::SetInstance(new DesktopApp);
  if (!wxEntryStart(argc_, argv_) || !wxTheApp->CallOnInit()) {
    *message = "the desktop cannot be shown (no display could be opened); "
               "run the server with -service to serve without a desktop.";
    if (wxTheApp != nullptr) wxEntryCleanup();
    return false;
  }
  started_ = true;
  wxTheApp->SetExitOnFrameDelete(false);
  return true;
}

bool WxDesktopShell::AskServiceRunning(app::Clock& clock, const std::string& program_folder) {
  const app::ServiceRunningChoice choice(clock, program_folder);
  ServiceRunningDialog dialog(choice);
  return dialog.EndService();
}

bool WxDesktopShell::RunMainWindow(app::Clock& clock, const std::string& program_folder) {
  auto* window = new MainWindow(clock, program_folder, prompter_);
  wxTheApp->SetTopWindow(window);
  if (window->Open()) {
    window->Show();
    wxTheApp->MainLoop();
  }
  window->Finish();
  const bool restart = window->RestartAsService();
  // The engine and the remote admin go with the window, before start-up
  // lets go of the instance lock.
  delete window;
  return restart;
}

}  // namespace quillon::ui
