// A real FTP server process for interoperability tests with clients no one
// here wrote. Usage:
//   e2e_server <program folder> <user> <password> [--admin <pages> <admin password>]
// Reads <program folder>/config/quillon.conf when a test wrote one.
// Prints "PORT <n>" once it listens on an ephemeral loopback-reachable port
// (and, with --admin, "ADMIN <n>" once the remote admin serves the pages
// copied from <pages>), then serves until its standard input closes.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "admin/remote_admin_service.h"
#include "ftp/ftp_server.h"
#include "platform/clock.h"
#include "platform/net.h"

int main(int argc, char** argv) {
  using namespace quillon;
  const bool admin = argc == 7 && std::string(argv[4]) == "--admin";
  if (argc != 4 && !admin) {
    std::cerr << "usage: e2e_server <program folder> <user> <password> [--admin <pages> <password>]\n";
    return 2;
  }
  const std::string folder = argv[1];
  for (const char* sub : {"config", "logs", "accountlogs", "temp", "root"})
    std::filesystem::create_directories(std::filesystem::path(folder) / sub);
  platform::StartNetworking();
  platform::SystemClock clock;
  ftp::FtpServer server(clock, folder);
  {
    runtime::CriticalSection::Guard guard(server.Settings().Lock());
    server.Settings().mPort = 0;
    server.Settings().mUseMaxUsers = false;
    // A test may have written the extra settings (TLS, passive ports) first.
    std::string message;
    if (!server.Settings().Extra().Load(folder + "/config/quillon.conf", &message)) {
      std::cerr << message << "\n";
      return 1;
    }
  }
  accounts::AccountRecord user;
  user.SetName(argv[2]);
  user.SetPassword(argv[3]);
  user.mRights = accounts::kAllRights;
  user.mUseRootFolder = true;
  user.SetRootFolder(folder + "/root");
  server.Accounts().AddOrUpdate(user);
  std::string error;
  if (!server.Activate(&error)) {
    std::cerr << error << "\n";
    return 1;
  }
  const std::uint16_t port = server.GetStatus().port;
  {
    // The port the service listens on, as the settings pages show it.
    runtime::CriticalSection::Guard guard(server.Settings().Lock());
    server.Settings().mPort = port;
  }
  std::cout << "PORT " << port << std::endl;
  std::unique_ptr<admin::RemoteAdminService> remote_admin;
  if (admin) {
    std::filesystem::copy(argv[5], std::filesystem::path(folder) / "remoteadmin",
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
    {
      runtime::CriticalSection::Guard guard(server.Settings().Lock());
      server.Settings().mRAPort = 0;
      server.Settings().mRAPass = argv[6];
    }
    remote_admin = std::make_unique<admin::RemoteAdminService>(server, clock, folder);
    if (!remote_admin->Start()) {
      std::cerr << "cannot start the remote admin\n";
      return 1;
    }
    std::cout << "ADMIN " << remote_admin->LocalPort() << std::endl;
  }
  // Serve until the test closes our input.
  std::thread watcher([] {
    std::string ignored;
    while (std::getline(std::cin, ignored)) {
    }
  });
  watcher.join();
  remote_admin.reset();
  server.Deactivate();
  return 0;
}
