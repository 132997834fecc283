// quillon-ftp-server: the FTP server program.
#include "app/server_app.h"
#include "platform/clock.h"

int main(int argc, char** argv) {
  quillon::platform::SystemClock clock;
  quillon::app::ServerApp app(clock);
  return app.Run(argc, argv);
}
