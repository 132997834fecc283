#include "app/server_app.h"

#include <cstdio>

#include "app/program_folders.h"
#include "app/service_process.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "platform/process.h"
#include "settings/log_file.h"
#include "vfs/file_handle.h"
#include "vfs/file_writer.h"
#include "vfs/paths.h"
#include "vfs/text.h"

namespace quillon::app {

namespace {

constexpr std::size_t kVersionLineCapacity = 20;

// The configuration was written by a newer program: the record cannot be
// read, is empty, or names a greater version.
bool ConfigurationIsNewer(const std::string& path) {
  vfs::FileHandle file;
  if (!file.Open(path, false, false)) return true;
  std::string line;
  if (!file.ReadLine(&line, kVersionLineCapacity)) return true;
  return ParseVersion(line) > ParseVersion(kVersionText);
}

}  // namespace

Version ParseVersion(std::string_view text) {
  Version version;
  int* fields[] = {&version.major, &version.minor, &version.third};
  std::size_t at = 0;
  for (int* field : fields) {
    // Like "%d": optional blanks, an optional sign, then digits.
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
    const std::size_t digits = at;
    long long value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && value < 1'000'000'000)
      value = value * 10 + (text[at++] - '0');
    if (at == digits) break;
    *field = static_cast<int>(negative ? -value : value);
    if (at >= text.size() || text[at] != '.') break;
    ++at;
  }
  return version;
}

bool IsServiceCommandLine(std::string_view command_line) {
  constexpr std::string_view kSwitch = "-service";
  return command_line.size() > kSwitch.size() &&
         vfs::EqualNoCase(command_line.substr(command_line.size() - kSwitch.size()), kSwitch);
}

int ServerApp::Run(int argc, char** argv) {
  std::string command_line;
  for (int i = 0; i < argc; ++i) command_line += (i > 0 ? " " : "") + std::string(argv[i]);
  if (!IsServiceCommandLine(command_line)) {
    std::fprintf(stderr,
                 "Quillon FTP Server 1.03: the desktop mode is not available in this build; "
                 "run it with -service (see README).\n");
    return 2;
  }

  // The program's folder becomes the working folder; every file is beside it.
  std::string folder;
  const std::string program = platform::ProgramPath();
  if (!(vfs::FileExists(program) && vfs::ParentFolder(program, &folder, vfs::kDiskPathCapacity) &&
        platform::SetCurrentFolder(folder)))
    folder = platform::CurrentFolder();
  settings::ServiceLog log(clock_, folder + "/logs/servicelog.txt");
  log.WriteServiceLine("LOADED");
  auto fail = [&log](const char* line) {
    log.WriteServiceLine(line);
    log.WriteServiceLine("UNLOADED");
    return 1;
  };

  if (!MakeProgramFolders(folder)) return fail("#ERROR - UNABLE TO CREATE FOLDERS");

  const std::string version_record = folder + "/config/lastversion.dta";
  if (vfs::FileExists(version_record) && ConfigurationIsNewer(version_record))
    return fail("#ERROR - NEWER VERSION CONFIGURATION FILES");
  {
    vfs::FileWriter writer;
    [[maybe_unused]] const bool written = writer.ReplaceFile(
        version_record, std::string(kVersionText) + "\r\n", vfs::FileHandle::kOwnerOnlyFile);
  }

  platform::InstanceLock instance;
  bool held_elsewhere = false;
  if (!instance.Acquire(folder, kInstanceLockName, &held_elsewhere))
    return fail(held_elsewhere ? "#ERROR - ALREADY LOADED" : "#ERROR - UNABLE TO OPEN THE INSTANCE LOCK");

  [[maybe_unused]] const bool removed =
      platform::RemoveFile(folder + "/" + kOldProgramName, nullptr);

  if (!platform::StartNetworking()) return fail("#ERROR - UNABLE TO LOAD SOCKETS");

  ServiceProcess service(clock_, folder, log);
  if (!service.Dispatch()) log.WriteServiceLine("#ERROR - SERVICE INIT FAILED");
  log.WriteServiceLine("UNLOADED");
  return service.Started() ? 0 : 1;
}

}  // namespace quillon::app
