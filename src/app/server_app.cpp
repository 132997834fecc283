#include "app/server_app.h"

#include <cstdio>

#include "app/main_state.h"
#include "app/program_folders.h"
#include "app/reload_reader.h"
#include "app/run_as_user.h"
#include "app/service_manager.h"
#include "app/service_process.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "platform/process.h"
#include "settings/log_file.h"
#include "update/release_version.h"
#include "update/signature.h"
#include "fileutil/file_handle.h"
#include "fileutil/file_writer.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"

namespace quillon::app {

namespace {

constexpr std::size_t kVersionLineCapacity = 20;

// This program's release mark, kept in its file though nothing here reads
// it: the updater of an older program finds it in the downloaded file once
// the signature verifies, and installs the file only as the release it names.
[[gnu::used]] constexpr update::ReleaseMark kReleaseMark(kVersionText);

// What earlier runs left behind once the instance lock is held: the program
// file an update replaced, and temporary files of saves that a kill or a
// power cut ended midway (no save of this installation runs meanwhile).
void ClearLeftovers(const std::string& folder) {
  [[maybe_unused]] const bool removed = platform::RemoveFile(folder + "/" + kOldProgramName, nullptr);
  [[maybe_unused]] const std::size_t stale = fileutil::RemoveStaleTemporaries(folder + "/config");
}

// The configuration was written by a newer program: the version record
// exists and cannot be read, is empty, or names a greater version.
// *line gets the line as read ("" when none).
bool ConfigurationIsNewer(const std::string& folder, std::string* line = nullptr) {
  const std::string path = folder + "/config/lastversion.dta";
  if (!fileutil::FileExists(path)) return false;
  std::string read;
  fileutil::FileHandle file;
  const bool newer = !file.Open(path, fileutil::FileHandle::Mode::kRead, fileutil::FileHandle::kSharedFile,
                                platform::Links::kRefuse) ||
                     !file.ReadLine(&read, kVersionLineCapacity) ||
                     ParseVersion(read) > ParseVersion(kVersionText);
  if (line != nullptr) *line = read;
  return newer;
}

// Rewrites the version record with this program's version. Failures are
// silent: the next start asks again.
void WriteVersionRecord(const std::string& folder) {
  fileutil::FileWriter writer;
  [[maybe_unused]] const bool written =
      writer.ReplaceFile(folder + "/config/lastversion.dta", std::string(kVersionText) + "\r\n",
                         fileutil::FileHandle::kOwnerOnlyFile);
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
         fileutil::EqualNoCase(command_line.substr(command_line.size() - kSwitch.size()), kSwitch);
}

update::Updater::Job UpdateJob(const std::string& program_file) {
  update::Updater::Job job;
  job.program_file = program_file;
  job.own_version = kVersionText;
  job.source = update::ConfiguredSource();
  job.referer = "Quillon FTP Server 1.03";
  job.public_key = update::ReleasePublicKey();
  return job;
}

std::string FirstUnwritablePath(const std::string& program_folder) {
  const std::string config = program_folder + "/config";
  if (!platform::CanWrite(program_folder)) return program_folder;
  if (!platform::CanWrite(config)) return config;
  for (const char* name : {"settings.dta", "accounts.dta", "groups.dta", "lastversion.dta",
                           "loaded.dta", kInstanceLockName}) {
    const std::string path = config + "/" + name;
    if (fileutil::FileExists(path) && !platform::CanWrite(path)) return path;
  }
  return {};
}

std::string UnwritableFolderMessage(const std::string& path, const std::string& program) {
  return "Quillon FTP Server cannot change " + path +
         " as this user.\n\nThe program folder and its 'config' folder must be writable by "
         "the user who runs the desktop. Start the program as the owner of its folder, or as "
         "root with:\n\n    pkexec " + program;
}

int ServerApp::Run(int argc, char** argv, DesktopShell* desktop) {
  // --help and --version answer and start nothing: no desktop, no service.
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::fputs(kServerUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    std::printf("Quillon FTP Server %s\n", kVersionText);
    return 0;
  }
  std::string command_line;
  for (int i = 0; i < argc; ++i) command_line += (i > 0 ? " " : "") + std::string(argv[i]);
  const bool service_mode = IsServiceCommandLine(command_line);
  if (!service_mode && desktop == nullptr) {
    std::fprintf(stderr,
                 "Quillon FTP Server 1.03: the desktop mode is not available in this build; "
                 "run it with -service (see README).\n");
    return 2;
  }
  if (!service_mode) {
    std::string message;
    if (!desktop->Start(&message)) {
      std::fprintf(stderr, "Quillon FTP Server 1.03: %s\n", message.c_str());
      return 2;
    }
  }

  // The program's folder becomes the working folder; every file is beside it.
  std::string folder;
  const std::string program = platform::ProgramPath();
  if (!(fileutil::FileExists(program) && fileutil::ParentFolder(program, &folder, fileutil::kDiskPathCapacity) &&
        platform::SetCurrentFolder(folder)))
    folder = platform::CurrentFolder();
  return service_mode ? RunService(folder) : RunDesktop(folder, *desktop);
}

int ServerApp::RunService(const std::string& folder) {
  settings::ServiceLog log(clock_, folder + "/logs/servicelog.txt");
  log.WriteServiceLine("LOADED");
  auto fail = [&log](const std::string& line) {
    log.WriteFailureLine(line);
    log.WriteServiceLine("UNLOADED");
    return 1;
  };

  if (!MakeProgramFolders(folder)) return fail("#ERROR - UNABLE TO CREATE FOLDERS");
  if (ConfigurationIsNewer(folder)) return fail("#ERROR - NEWER VERSION CONFIGURATION FILES");
  WriteVersionRecord(folder);

  platform::InstanceLock instance;
  bool held_elsewhere = false;
  if (!instance.Acquire(folder, kInstanceLockName, &held_elsewhere))
    return fail(held_elsewhere ? "#ERROR - ALREADY LOADED" : "#ERROR - UNABLE TO OPEN THE INSTANCE LOCK");

  ClearLeftovers(folder);

  // Still the only thread: what is locked down here holds for every thread,
  // and the root helper that reloads read through is forked here.
  ReloadReader reader(folder);
  if (std::string line; !PrepareRootStart(folder, &reader, &line)) return fail(line);
  if (!platform::StartNetworking()) return fail("#ERROR - UNABLE TO LOAD SOCKETS");

  ServiceProcess service(clock_, folder, log, reader);
  if (!service.Dispatch()) log.WriteServiceLine("#ERROR - SERVICE INIT FAILED");
  log.WriteServiceLine("UNLOADED");
  return service.Started() && service.Saved() ? 0 : 1;
}

int ServerApp::RunDesktop(const std::string& folder, DesktopShell& desktop) {
  using Icon = Prompter::Icon;
  Prompter& prompter = desktop.Prompts();
  const std::string program = platform::ProgramPath();
  const std::string running_text = fileutil::FormatText("%s is already running.", kProductName);
  constexpr const char* kRunningCaption = "Quillon FTP Server 1.03";

  if (!MakeProgramFolders(folder)) {
    prompter.Tell("Unable to create the required directories.", "Fatal Error", Icon::kExclamation);
    return 1;
  }
  // A folder this user cannot change would look like a newer version's
  // configuration, and every save would fail: say what is wrong instead.
  if (const std::string unwritable = FirstUnwritablePath(folder); !unwritable.empty()) {
    prompter.Tell(UnwritableFolderMessage(unwritable, program), "Fatal Error", Icon::kExclamation);
    return 1;
  }
  std::string last_version;
  if (ConfigurationIsNewer(folder, &last_version) &&
      !prompter.Ask(fileutil::FormatText("The version you are loading now is older than the "
                                    "previous\nversion that was loaded.\n\nCurrent Version:\t%s\n"
                                    "Last Version:\t%s\n\nIf you continue loading you may loose "
                                    "some or all of your\nsettings. Do you wish to continue?",
                                    kVersionText, last_version.c_str()),
                    "Warning", Icon::kExclamation))
    return 0;
  WriteVersionRecord(folder);

  ServiceManager services(program, folder);
  bool service_stopped = false;
  if (services.IsRunning(kServiceName)) {
    platform::InstanceLock dealing;
    bool held_elsewhere = false;
    if (!dealing.Acquire(folder, kServiceDealingLockName, &held_elsewhere)) {
      prompter.Tell(running_text, kRunningCaption, Icon::kExclamation);
      return 0;
    }
    if (!desktop.AskServiceRunning(clock_, folder)) return 0;
    if (!services.Stop(kServiceName)) {
      prompter.Tell("Unable to close current service.", "Fatal Error", Icon::kNone);
      return 1;
    }
    service_stopped = true;
  }

  platform::InstanceLock instance;
  bool held_elsewhere = false;
  if (!instance.Acquire(folder, kInstanceLockName, &held_elsewhere)) {
    if (service_stopped) {
      if (!AwaitInstanceLock(folder, &instance)) {
        prompter.Tell("The service process is taking too long to close.", "Fatal Error",
                      Icon::kExclamation);
        return 1;
      }
    } else if (held_elsewhere) {
      prompter.Tell(running_text, kRunningCaption, Icon::kExclamation);
      return 0;
    } else {
      prompter.Tell(UnwritableFolderMessage(platform::InstanceLock::LockFolder(folder), program),
                    "Fatal Error", Icon::kExclamation);
      return 1;
    }
  }

  ClearLeftovers(folder);
  if (!platform::StartNetworking()) {
    prompter.Tell("Failed to intialise windows sockets 2.2.", "Fatal Error", Icon::kExclamation);
    return 1;
  }

  const bool restart_as_service = desktop.RunMainWindow(clock_, folder);
  // The service process takes the instance lock at its own start.
  instance.Close();
  if (restart_as_service &&
      services.Start(kServiceName, clock_, ServiceManager::kStartWaitMs).kind !=
          ServiceManager::Outcome::Kind::kDone)
    prompter.Tell("Unable to start service.", "Error", Icon::kNone);
  return 0;
}

bool ServerApp::AwaitInstanceLock(const std::string& folder, platform::InstanceLock* lock) {
  // The service saves before its process ends; it holds the lock until then.
  for (int attempt = 0; attempt < kLockTries; ++attempt) {
    clock_.SleepMs(kLockTryMs);
    bool held_elsewhere = false;
    if (lock->Acquire(folder, kInstanceLockName, &held_elsewhere)) return true;
  }
  return false;
}

}  // namespace quillon::app
