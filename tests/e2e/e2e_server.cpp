// A real FTP server process for interoperability tests with clients no one
// here wrote. Usage:
//   e2e_server <program folder> <user> <password> [--account <user> <password>]...
//              [--admin <pages> <admin password>] [--throttle <user> <KB/s>]...
//              [--allocation <user> <MB>]... [--block <entry>]...
// Every account has all rights on <program folder>/root; a throttled one
// moves at most <KB/s> each way; one with an allocation may hold <MB>. Reads
// <program folder>/config/quillon.conf and config/tokens.conf when a test
// wrote them. Each --block entry (an address, range or prefix) goes on the
// server's blocked list.
// Prints "PORT <n>" once it listens on an ephemeral loopback-reachable port
// (and, with --admin, "ADMIN <n>" once the remote admin serves the pages
// copied from <pages>), then serves until its standard input closes.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "admin/remote_admin_service.h"
#include "ftp/ftp_server.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "runtime/ip_range_list.h"

int main(int argc, char** argv) {
  using namespace quillon;
  std::vector<std::pair<std::string, std::string>> users;
  const char* admin_pages = nullptr;
  const char* admin_password = nullptr;
  std::vector<std::pair<std::string, std::uint32_t>> throttles;
  std::vector<std::pair<std::string, std::uint32_t>> allocations;
  runtime::IpRangeList blocked;
  bool usage = argc < 4;
  if (!usage) users.emplace_back(argv[2], argv[3]);
  for (int i = 4; i < argc && !usage; i += 3) {
    const std::string option = argv[i];
    if (option == "--block" && i + 1 < argc) {
      const std::optional<runtime::IpRange> range = runtime::IpRangeList::ParseEntry(argv[i + 1]);
      usage = !range;
      if (range) blocked.AddRange(range->first, range->last);
      --i;  // one value, not two
    } else if (i + 2 >= argc) {
      usage = true;
    } else if (option == "--account") {
      users.emplace_back(argv[i + 1], argv[i + 2]);
    } else if (option == "--throttle") {
      throttles.emplace_back(argv[i + 1], static_cast<std::uint32_t>(std::stoul(argv[i + 2])));
    } else if (option == "--allocation") {
      allocations.emplace_back(argv[i + 1], static_cast<std::uint32_t>(std::stoul(argv[i + 2])));
    } else if (option == "--admin") {
      admin_pages = argv[i + 1];
      admin_password = argv[i + 2];
    } else {
      usage = true;
    }
  }
  if (usage) {
    std::cerr << "usage: e2e_server <program folder> <user> <password> [--account <user> <password>]... "
                 "[--admin <pages> <password>] [--throttle <user> <KB/s>]... [--allocation <user> <MB>]... "
                 "[--block <entry>]...\n";
    return 2;
  }
  const bool admin = admin_pages != nullptr;
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
    server.Settings().mUseBlockIPs = blocked.Count() > 0;
    server.Settings().mBlockIPs = blocked;
    // A test may have written the extra settings (TLS, passive ports) first.
    std::string message;
    if (!server.Settings().Extra().Load(folder + "/config/quillon.conf", &message)) {
      std::cerr << message << "\n";
      return 1;
    }
  }
  // With account_store = postgresql the accounts come from the shared
  // database, and the ones made below go into it.
  if (std::string message; !server.ConnectSharedStore(&message) || !server.Accounts().Load() ||
                           !server.Groups().Load()) {
    std::cerr << (message.empty() ? server.Accounts().BackendError() + server.Groups().BackendError() : message)
              << "\n";
    return 1;
  }
  if (std::string message; !server.LoadApiTokens(&message)) {
    std::cerr << message << "\n";
    return 1;
  }
  for (const auto& [name, password] : users) {
    accounts::AccountRecord user;
    user.SetName(name);
    user.SetPassword(password);
    user.mRights = accounts::kAllRights;
    user.mUseRootFolder = true;
    user.SetRootFolder(folder + "/root");
    for (const auto& [allocated, mb] : allocations) {
      if (allocated != name) continue;
      user.mUseMaxSize = true;
      user.mMaxSize = mb;
    }
    for (const auto& [throttled, kbs] : throttles) {
      if (throttled != name) continue;
      user.mUseMaxDownloadSpeed = user.mUseMaxUploadSpeed = true;
      user.mMaxDownloadSpeed = user.mMaxUploadSpeed = kbs;
    }
    server.Accounts().AddOrUpdate(user);
  }
  if (server.HasSharedStore() && !server.Accounts().Save()) {
    std::cerr << server.Accounts().BackendError() << "\n";
    return 1;
  }
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
    std::filesystem::copy(admin_pages, std::filesystem::path(folder) / "remoteadmin",
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
    {
      runtime::CriticalSection::Guard guard(server.Settings().Lock());
      server.Settings().mRAPort = 0;
      server.Settings().mRAPass = admin_password;
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
