#include "control/service_control.h"

#include "fileutil/text.h"

namespace quillon::control {

ServiceControl::ServiceControl(ftp::FtpServer& server) : server_(server) {}

bool ServiceControl::Activate(std::string* error) { return server_.Activate(error); }

void ServiceControl::Deactivate() { server_.Deactivate(); }

bool ServiceControl::IsActive() const { return server_.IsActive(); }

bool ServiceControl::Reload(const ftp::ReloadFiles& files, std::string* report) {
  return server_.Reload(files, report);
}

std::optional<ftp::FtpServer::Status> ServiceControl::Status() {
  if (!server_.IsActive()) return std::nullopt;
  return server_.GetStatus();
}

std::string ServiceControl::DeactivateQuestion() {
  const std::optional<ftp::FtpServer::Status> status = Status();
  if (!status) return "Deactivate the FTP server? It is not active now.";
  return fileutil::FormatText(
      "Deactivate the FTP server? It stops listening, and the %u connected session(s) are disconnected.",
      status->users);
}

std::vector<ftp::DamageNotices::Notice> ServiceControl::Notices() const {
  return server_.Notices().Shown();
}

bool ServiceControl::AcknowledgeNotice(std::uint32_t number, std::string* file) {
  return server_.Notices().Acknowledge(number, file);
}

const std::vector<std::string>& ServiceControl::DamageFoundByLoad() const {
  return server_.DamageFoundByLoad();
}

}  // namespace quillon::control
