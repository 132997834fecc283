// Session costs of the FTP engine, measured in-process over loopback:
//  - the time for 1,000 sequential connect / login / QUIT cycles;
//  - the CPU time the process uses over 20 s with 200 logged-in idle sessions.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "ftp/ftp_server.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "support/ftp_client.h"
#include "support/temp_dir.h"

namespace {

using namespace quillon;

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// Resident memory of this process in KiB (Linux /proc).
long ResidentKib() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 0;
  char line[256];
  long kib = 0;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  std::fclose(status);
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  const int idle_seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  platform::StartNetworking();
  testing::TempDir dir;
  for (const char* folder : {"config", "logs", "accountlogs", "temp", "root"})
    std::filesystem::create_directories(dir.File(folder));
  platform::SystemClock clock;
  ftp::FtpServer server(clock, dir.Path());
  {
    runtime::CriticalSection::Guard guard(server.Settings().Lock());
    server.Settings().mPort = 0;
    server.Settings().mUseMaxUsers = false;
  }
  accounts::AccountRecord bob;
  bob.SetName("bob");
  bob.SetPassword("secret");
  bob.mUseRootFolder = true;
  bob.SetRootFolder(dir.File("root"));
  server.Accounts().AddOrUpdate(bob);
  std::string error;
  if (!server.Activate(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const std::uint16_t port = server.GetStatus().port;

  // 1,000 sequential connect, login and QUIT cycles.
  const auto started = std::chrono::steady_clock::now();
  const double cpu_before_cycles = CpuSeconds();
  for (int i = 0; i < 1000; ++i) {
    testing::FtpClient client;
    if (client.Connect(port).rfind("220 ", 0) != 0 ||
        client.Login("bob", "secret").rfind("230-", 0) != 0 ||
        client.Command("QUIT") != "221 Thanks for visiting.") {
      std::fprintf(stderr, "cycle %d failed\n", i);
      return 1;
    }
    client.WaitForClose();
  }
  const double cycles_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("1000 connect/login/QUIT cycles: %.2f s (%.2f ms each), process CPU %.2f s\n",
              cycles_s, cycles_s, CpuSeconds() - cpu_before_cycles);

  // 200 logged-in sessions that stay idle (the clients live in this process
  // too; their share is small: a socket and a little buffer each).
  const long rss_before = ResidentKib();
  std::vector<std::unique_ptr<testing::FtpClient>> idle;
  for (int i = 0; i < 200; ++i) {
    idle.push_back(std::make_unique<testing::FtpClient>());
    idle.back()->Connect(port);
    if (idle.back()->Login("bob", "secret").rfind("230-", 0) != 0) {
      std::fprintf(stderr, "idle login %d failed\n", i);
      return 1;
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::printf("memory: %.1f KiB resident per logged-in session (client side included)\n",
              static_cast<double>(ResidentKib() - rss_before) / 200);
  const double cpu_before = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const double cpu_used = CpuSeconds() - cpu_before;
  std::printf("200 idle sessions for %d s: process CPU %.3f s (%.2f%% of one core)\n",
              idle_seconds, cpu_used, 100.0 * cpu_used / idle_seconds);
  idle.clear();
  server.Deactivate();
  return 0;
}
