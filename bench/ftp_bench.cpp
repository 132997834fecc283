// Session costs of the FTP engine, measured in-process over loopback:
//  - the time and the CPU per login of sequential connect / login / QUIT
//    cycles (1,000);
//  - the CPU time the process uses over 20 s with 200 logged-in idle sessions.
// Arguments: the idle seconds (20); "hashed" to store the password as a
// one-way hash (password_storage = hashed), or "scrambled"; the number of
// cycles (1000).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
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
  const bool hashed = argc > 2 && std::string_view(argv[2]) == "hashed";
  const int cycles = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1000;
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
    std::string message;
    if (hashed && !server.Settings().Extra().Set("password_storage", "hashed", &message)) {
      std::fprintf(stderr, "%s\n", message.c_str());
      return 1;
    }
  }
  accounts::AccountRecord bob;
  bob.SetName("bob");
  std::string error;
  if (!bob.SetNewPassword("secret", hashed, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  bob.mUseRootFolder = true;
  bob.SetRootFolder(dir.File("root"));
  server.Accounts().AddOrUpdate(bob);
  if (!server.Activate(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const std::uint16_t port = server.GetStatus().port;

  // Sequential connect, login and QUIT cycles.
  const auto started = std::chrono::steady_clock::now();
  const double cpu_before_cycles = CpuSeconds();
  for (int i = 0; i < cycles; ++i) {
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
  const double cycles_cpu = CpuSeconds() - cpu_before_cycles;
  std::printf("%d connect/login/QUIT cycles (%s password): %.2f s (%.2f ms each), process CPU %.2f s "
              "(login cost: %.2f ms of CPU per login, client included)\n",
              cycles, hashed ? "hashed" : "scrambled", cycles_s, 1000 * cycles_s / cycles, cycles_cpu,
              1000 * cycles_cpu / cycles);

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
