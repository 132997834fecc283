#include "control/service_control.h"

namespace quillon::control {

ServiceControl::ServiceControl(ftp::FtpServer& server) : server_(server) {}

bool ServiceControl::Activate(std::string* error) { return server_.Activate(error); }

void ServiceControl::Deactivate() { server_.Deactivate(); }

bool ServiceControl::IsActive() const { return server_.IsActive(); }

std::optional<ftp::FtpServer::Status> ServiceControl::Status() {
  if (!server_.IsActive()) return std::nullopt;
  return server_.GetStatus();
}

}  // namespace quillon::control
