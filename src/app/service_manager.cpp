#include "app/service_manager.h"

#include <algorithm>

#include "app/server_app.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "fileutil/file_handle.h"
#include "fileutil/file_writer.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"

namespace quillon::app {

namespace {

constexpr const char* kDefaultServiceFolder = "/var/lib/quillon-ftp-server/services";
constexpr const char* kUnitFolder = "/etc/systemd/system";
constexpr std::uint64_t kMaxRecordBytes = 64 * 1024;

// The value of "key=value" lines.
std::string Field(const std::string& text, std::string_view key) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + at, end - at);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=')
      return std::string(line.substr(key.size() + 1));
    at = end + 1;
  }
  return {};
}

bool WriteText(const std::string& path, const std::string& text, unsigned permissions) {
  fileutil::FileWriter writer;
  return writer.ReplaceFile(path, text, permissions);
}

// The lines a log gains after the point at which it was first looked at.
class LogTail {
 public:
  static constexpr std::size_t kMostPerLook = 1 << 20;

  explicit LogTail(std::string path) : path_(std::move(path)) {
    fileutil::FileHandle file;
    if (file.Open(path_, fileutil::FileHandle::Mode::kRead)) offset_ = file.Size();
  }

  // The texts of the whole lines written since the last look (what follows
  // "date time -> " in each).
  std::vector<std::string> NewLines() {
    std::vector<std::string> lines;
    fileutil::FileHandle file;
    if (!file.Open(path_, fileutil::FileHandle::Mode::kRead)) return lines;
    if (file.Size() < offset_) offset_ = 0;  // begun again
    if (!file.SeekTo(offset_)) return lines;
    char buffer[8192];
    std::size_t got;
    while (pending_.size() < kMostPerLook && (got = file.Read(buffer, sizeof buffer)) > 0) {
      pending_.append(buffer, got);
      offset_ += got;
    }
    std::size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t arrow = line.find(" -> ");
      lines.push_back(arrow == std::string::npos ? line : line.substr(arrow + 4));
    }
    return lines;
  }

 private:
  const std::string path_;
  std::uint64_t offset_ = 0;
  std::string pending_;  // a line not yet ended
};

std::string UnitName(const std::string& name) {
  std::string unit = name;
  std::transform(unit.begin(), unit.end(), unit.begin(),
                 [](char ch) { return fileutil::FoldCase(ch); });
  return unit + ".service";
}

}  // namespace

ServiceManager::ServiceManager(std::string program, std::string program_folder)
    : program_(std::move(program)), program_folder_(std::move(program_folder)) {}

std::string ServiceManager::ServiceLogPath() const {
  return program_folder_.empty() ? "" : program_folder_ + "/logs/servicelog.txt";
}

std::string ServiceManager::ServiceFolder() {
  const std::string folder = platform::EnvironmentValue("QUILLON_SERVICE_DIR");
  return folder.empty() ? kDefaultServiceFolder : folder;
}

std::string ServiceManager::RecordPath(const std::string& name) {
  return ServiceFolder() + "/" + name + ".service";
}

std::string ServiceManager::PidPath(const std::string& name) {
  return ServiceFolder() + "/" + name + ".pid";
}

bool ServiceManager::ReadRecord(const std::string& name, Record* record) {
  std::string text;
  if (!fileutil::ReadWholeFile(RecordPath(name), kMaxRecordBytes, &text)) return false;
  record->display_name = Field(text, "display");
  record->program = Field(text, "program");
  record->argument = Field(text, "argument");
  record->unit = Field(text, "unit");
  return !record->program.empty();
}

int ServiceManager::ReadPid(const std::string& name) {
  std::string text;
  if (!fileutil::ReadWholeFile(PidPath(name), 64, &text)) return 0;
  return static_cast<int>(fileutil::ParseUnsigned(text.substr(0, text.find('\n')), true));
}

bool ServiceManager::Install(const std::string& name, const std::string& display_name,
                             const std::string& argument) {
  if (program_.empty() || !fileutil::FileExists(program_)) return false;
  if (!fileutil::MakeFolders(ServiceFolder(), 0755)) return false;
  Record record{display_name, program_, argument, {}};
  record.unit = InstallUnit(name, record);
  std::string text = "name=" + name + "\ndisplay=" + display_name + "\nprogram=" + program_ +
                     "\nargument=" + argument + "\nstart=auto\n";
  if (!record.unit.empty()) text += "unit=" + record.unit + "\n";
  return WriteText(RecordPath(name), text, 0644);
}

namespace {

// A word of ExecStart=: quoted, with the characters systemd would read as
// escapes, specifiers or variables written so that they stand for themselves.
std::string UnitWord(const std::string& word) {
  std::string out = "\"";
  for (char ch : word) {
    if (ch == '\\' || ch == '"') out.push_back('\\');
    if (ch == '%' || ch == '$') out.push_back(ch);  // "%%" and "$$"
    out.push_back(ch);
  }
  out.push_back('"');
  return out;
}

// A path value of the unit (not split into words): only specifiers expand.
std::string UnitPath(const std::string& path) {
  std::string out;
  for (char ch : path) {
    if (ch == '%') out.push_back('%');
    out.push_back(ch);
  }
  return out;
}

}  // namespace

std::string ServiceManager::UnitText(const std::string& display_name, const std::string& program,
                                     const std::string& argument) {
  std::string folder;
  if (!fileutil::ParentFolder(program, &folder, 4096)) return {};
  // A line break would start a line of its own in the unit.
  for (const std::string* text : {&display_name, &program, &argument})
    if (text->find_first_of("\r\n") != std::string::npos) return {};
  // The server starts as root to open its ports and hand its folders over,
  // then serves as its run_as_user; it can gain nothing beyond that.
  return "[Unit]\nDescription=" + UnitPath(display_name) +
         "\nAfter=network.target\n\n[Service]\nType=simple\nWorkingDirectory=" +
         UnitPath(folder) + "\nExecStart=" + UnitWord(program) + " " + UnitWord(argument) +
         // $MAINPID is systemd's own variable here, unlike the words above.
         "\nExecReload=/bin/kill -HUP $MAINPID\nRestart=on-failure"
         "\nKillSignal=SIGTERM\nTimeoutStopSec=60\nNoNewPrivileges=yes\n\n[Install]\n"
         "WantedBy=multi-user.target\n";
}

std::string ServiceManager::InstallUnit(const std::string& name, const Record& record) {
  // Tests and private installs point the service folder elsewhere: they must
  // never touch the machine's boot configuration.
  if (!platform::EnvironmentValue("QUILLON_SERVICE_DIR").empty() || !platform::SystemdRuns())
    return {};
  const std::string text = UnitText(record.display_name, record.program, record.argument);
  if (text.empty()) return {};
  const std::string unit = UnitName(name);
  if (!WriteText(std::string(kUnitFolder) + "/" + unit, text, 0644)) return {};
  platform::RunAndWait({"systemctl", "daemon-reload"});
  platform::RunAndWait({"systemctl", "enable", unit});
  return unit;
}

bool ServiceManager::Exists(const std::string& name) const { return fileutil::FileExists(RecordPath(name)); }

bool ServiceManager::Remove(const std::string& name) {
  Record record;
  if (!ReadRecord(name, &record)) return false;
  if (!record.unit.empty()) {
    platform::RunAndWait({"systemctl", "disable", record.unit});
    [[maybe_unused]] const bool removed =
        platform::RemoveFile(std::string(kUnitFolder) + "/" + record.unit, nullptr);
    platform::RunAndWait({"systemctl", "daemon-reload"});
  }
  return platform::RemoveFile(RecordPath(name), nullptr);
}

int ServiceManager::RunningProcess(const std::string& name) const {
  if (!program_folder_.empty()) {
    // Whoever holds the instance lock with a service command line is the
    // server, however it was started; anything else is never signalled.
    const int holder = platform::InstanceLock::HolderId(program_folder_, kInstanceLockName);
    return holder != 0 && platform::ProcessAlive(holder) &&
                   IsServiceCommandLine(platform::ProcessCommandLine(holder))
               ? holder
               : 0;
  }
  Record record;
  if (!ReadRecord(name, &record)) return 0;
  const int pid = ReadPid(name);
  return platform::ProcessAlive(pid) && platform::ProcessCommandLine(pid) == record.CommandLine() ? pid : 0;
}

bool ServiceManager::Stop(const std::string& name, int* pid) {
  const int running = RunningProcess(name);
  if (pid != nullptr) *pid = running;
  return running != 0 && platform::SendTerminate(running);
}

bool ServiceManager::AwaitEnd(const std::string& name, int pid, platform::Clock& clock,
                              std::uint32_t timeout_ms) {
  const std::uint32_t started = clock.TickMs();
  while (platform::ProcessAlive(pid)) {
    if (clock.TickMs() - started >= timeout_ms) return false;
    clock.SleepMs(kEndPollMs);
  }
  NoteEnded(name, pid);
  return true;
}

ServiceManager::Outcome ServiceManager::Start(const std::string& name, platform::Clock& clock,
                                              std::uint32_t timeout_ms) {
  using Kind = Outcome::Kind;
  Outcome outcome;
  Record record;
  if (!ReadRecord(name, &record)) return outcome;
  // A second server would only find the lock taken and end: say so instead.
  if ((outcome.pid = RunningProcess(name)) != 0) {
    outcome.kind = Kind::kAlreadyRunning;
    return outcome;
  }
  LogTail log(ServiceLogPath());
  int spawned = 0;
  if (!record.unit.empty()) {
    if (platform::RunAndWait({"systemctl", "start", record.unit}) != 0) return outcome;
  } else if (!platform::SpawnDetached({record.program, record.argument}, &spawned)) {
    return outcome;
  }
  outcome.pid = spawned;
  const std::uint32_t started = clock.TickMs();
  bool initialised = false;
  for (;;) {
    // Looked at before the log, so the lines of a start that ended are read.
    bool ended = spawned != 0 && !platform::ProcessAlive(spawned);
    for (const std::string& line : log.NewLines()) {
      if (line == "#OK - INITIALISED") initialised = true;
      if (line.starts_with("#ERROR")) outcome.line = line;
      if (line == "UNLOADED" && !initialised) ended = true;
    }
    if (initialised) {
      if (const int running = RunningProcess(name); running != 0) outcome.pid = running;
      // A server that serves as another user cannot write the note itself.
      if (outcome.pid != 0) NoteRunning(name, outcome.pid);
      outcome.kind = Kind::kDone;
      return outcome;
    }
    if (ended) return outcome;  // kFailed, with the last "#ERROR" line
    if (clock.TickMs() - started >= timeout_ms) {
      outcome.kind = Kind::kNoAnswer;
      return outcome;
    }
    clock.SleepMs(kEndPollMs);
  }
}

ServiceManager::Outcome ServiceManager::Reload(const std::string& name, platform::Clock& clock,
                                               std::uint32_t timeout_ms) {
  using Kind = Outcome::Kind;
  Outcome outcome;
  if ((outcome.pid = RunningProcess(name)) == 0) {
    outcome.kind = Kind::kNotRunning;
    return outcome;
  }
  LogTail log(ServiceLogPath());
  // Through systemd when it runs the service (its unit sends the same
  // signal); a server it does not run is signalled directly.
  Record record;
  const bool through_systemd = ReadRecord(name, &record) && !record.unit.empty() &&
                               platform::RunAndWait({"systemctl", "reload", record.unit}) == 0;
  if (!through_systemd && !platform::SendReload(outcome.pid)) return outcome;
  const std::uint32_t started = clock.TickMs();
  for (;;) {
    for (std::string& line : log.NewLines()) {
      const bool reloaded = line.starts_with("#OK - RELOADED");
      if (!reloaded && !line.starts_with("#WARNING - RELOAD REFUSED")) continue;
      outcome.kind = reloaded ? Kind::kDone : Kind::kFailed;
      outcome.line = std::move(line);
      return outcome;
    }
    if (clock.TickMs() - started >= timeout_ms || !platform::ProcessAlive(outcome.pid)) {
      outcome.kind = Kind::kNoAnswer;
      return outcome;
    }
    clock.SleepMs(kEndPollMs);
  }
}

void ServiceManager::NoteRunning(const std::string& name, int pid) {
  // Only an installed service keeps a pid file; a server run by hand leaves
  // the service folder alone.
  if (!fileutil::FileExists(RecordPath(name))) return;
  [[maybe_unused]] const bool written = WriteText(PidPath(name), std::to_string(pid) + "\n", 0644);
}

void ServiceManager::NoteEnded(const std::string& name, int pid) {
  if (ReadPid(name) != pid) return;
  [[maybe_unused]] const bool removed = platform::RemoveFile(PidPath(name), nullptr);
}

}  // namespace quillon::app
