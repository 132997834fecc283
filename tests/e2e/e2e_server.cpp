// A real FTP server process for interoperability tests with clients no one
// here wrote. Usage: e2e_server <program folder> <user> <password>
// Prints "PORT <n>" once it listens on an ephemeral loopback-reachable port,
// then serves until its standard input closes (or ten minutes pass).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "ftp/ftp_server.h"
#include "platform/clock.h"
#include "platform/net.h"

int main(int argc, char** argv) {
  using namespace quillon;
  if (argc != 4) {
    std::cerr << "usage: e2e_server <program folder> <user> <password>\n";
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
  std::cout << "PORT " << server.GetStatus().port << std::endl;
  // Serve until the test closes our input.
  std::thread watcher([] {
    std::string ignored;
    while (std::getline(std::cin, ignored)) {
    }
  });
  watcher.join();
  server.Deactivate();
  return 0;
}
