// quillon-ftp-server: the FTP server program, as a desktop program or, with
// -service, as a background service.
#include "app/desktop_shell.h"
#include "app/server_app.h"
#include "ui/desktop_shell.h"

int main(int argc, char** argv) {
  quillon::app::SystemClock clock;
  quillon::ui::WxDesktopShell desktop(argc, argv);
  quillon::app::ServerApp app(clock);
  return app.Run(argc, argv, &desktop);
}
