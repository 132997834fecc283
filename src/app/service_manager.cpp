#include "app/service_manager.h"

#include <algorithm>

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

std::string UnitName(const std::string& name) {
  std::string unit = name;
  std::transform(unit.begin(), unit.end(), unit.begin(),
                 [](char ch) { return fileutil::FoldCase(ch); });
  return unit + ".service";
}

}  // namespace

ServiceManager::ServiceManager(std::string program) : program_(std::move(program)) {}

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

bool ServiceManager::IsRunning(const std::string& name) const {
  Record record;
  if (!ReadRecord(name, &record)) return false;
  const int pid = ReadPid(name);
  return platform::ProcessAlive(pid) && platform::ProcessCommandLine(pid) == record.CommandLine();
}

bool ServiceManager::Stop(const std::string& name) {
  if (!IsRunning(name)) return false;
  return platform::SendTerminate(ReadPid(name));
}

bool ServiceManager::AwaitEnd(const std::string& name, platform::Clock& clock,
                              std::uint32_t timeout_ms) {
  const int pid = ReadPid(name);
  const std::uint32_t started = clock.TickMs();
  while (platform::ProcessAlive(pid)) {
    if (clock.TickMs() - started >= timeout_ms) return false;
    clock.SleepMs(kEndPollMs);
  }
  if (ReadPid(name) == pid) {
    [[maybe_unused]] const bool removed = platform::RemoveFile(PidPath(name), nullptr);
  }
  return true;
}

bool ServiceManager::Start(const std::string& name) {
  Record record;
  if (!ReadRecord(name, &record)) return false;
  if (!record.unit.empty()) return platform::RunAndWait({"systemctl", "start", record.unit}) == 0;
  int pid = 0;
  if (!platform::SpawnDetached({record.program, record.argument}, &pid)) return false;
  NoteRunning(name, pid);
  return true;
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
