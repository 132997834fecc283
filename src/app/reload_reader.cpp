#include "app/reload_reader.h"

#include "admin/remote_admin_service.h"
#include "control/service_control.h"
#include "settings/extra_settings.h"

namespace quillon::app {

ReloadReader::ReloadReader(const std::string& program_folder)
    : config_path_(program_folder + "/config/" + settings::ExtraSettings::kFileName),
      tokens_path_(ftp::FtpServer::ApiTokensPath(program_folder)) {}

std::vector<std::string> ReloadReader::NamedFiles(const std::string& text) {
  settings::ExtraSettings extra;
  std::string message;
  // A text with faults is refused by the reload itself; the paths it names
  // are read all the same, so the refusal can name every fault at once.
  [[maybe_unused]] const bool clean = extra.LoadText(text, "", &message);
  return {extra.TlsCertificate(), extra.TlsKey()};
}

bool ReloadReader::StartHelper(long untrusted_uid, std::string* error) {
  use_helper_ = helper_.Start(config_path_, &ReloadReader::NamedFiles, untrusted_uid, error, {tokens_path_});
  return use_helper_;
}

bool ReloadReader::Read(ftp::ReloadFiles* files, std::string* error) {
  std::vector<platform::FileContent> read;
  if (use_helper_) {
    if (!helper_.Read(&read, error)) return false;
  } else {
    // Root that keeps serving as root distrusts no user of its own.
    read = platform::ReadFileSet(config_path_, &ReloadReader::NamedFiles, -1, {tokens_path_});
  }
  read.resize(4);
  files->config = std::move(read[0]);
  files->certificate = std::move(read[1]);
  files->key = std::move(read[2]);
  files->tokens = std::move(read[3]);
  return true;
}

bool ReloadServer(ReloadReader& reader, ftp::FtpServer& server, admin::RemoteAdminService* remote_admin,
                  std::string* report) {
  std::string outcome;
  ftp::ReloadFiles files;
  const bool reloaded = reader.Read(&files, &outcome) && control::ServiceControl(server).Reload(files, &outcome);
  if (reloaded && remote_admin != nullptr && !remote_admin->ReloadTls())
    outcome += std::string(outcome.empty() ? "" : "; ") + "the remote admin keeps its certificate";
  *report = reloaded ? "#OK - RELOADED (" + (outcome.empty() ? "nothing changed" : outcome) + ")"
                     : "#WARNING - RELOAD REFUSED (" + outcome + ")";
  return reloaded;
}

}  // namespace quillon::app
