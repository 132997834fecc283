// The FTP service as every face sees it: activating and deactivating it,
// and its figures while it runs. Whatever a face starts beside the service
// (the remote admin) stays the face's own business.
//
// A ServiceControl holds only a reference to the server, so a face may make
// one per request. Thread-safety: any thread; the server's parts lock
// themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftp_server.h"

namespace quillon::control {

class ServiceControl {
 public:
  explicit ServiceControl(ftp::FtpServer& server);

  // Listens on the settings' port (loading the TLS certificate when TLS is
  // on); already active is success. False with *error, the engine's own text.
  [[nodiscard]] bool Activate(std::string* error);
  // Stops listening and ends every session; deactivated already is no error.
  void Deactivate();
  bool IsActive() const;
  // Applies quillon.conf and the certificate and key as read again, whole
  // or not at all (see FtpServer::Reload): *report lists what changed, or
  // says why nothing was applied.
  [[nodiscard]] bool Reload(const ftp::ReloadFiles& files, std::string* report);

  // The port, logged-in users and traffic while active; none while
  // deactivated, when the faces show no figures.
  std::optional<ftp::FtpServer::Status> Status();

  // The question every face asks before deactivating, with the number of
  // sessions it disconnects; and its title.
  std::string DeactivateQuestion();
  static constexpr const char* kDeactivateTitle = "Deactivating the Server";

  // The damaged-file notices not yet acknowledged, oldest first.
  std::vector<ftp::DamageNotices::Notice> Notices() const;
  // Takes notice `number` off the list; false when none such is shown.
  // *file (may be null) receives its file.
  bool AcknowledgeNotice(std::uint32_t number, std::string* file = nullptr);
  // One text per damaged file the last load found. REQUIRES: the thread
  // that loaded.
  const std::vector<std::string>& DamageFoundByLoad() const;

 private:
  ftp::FtpServer& server_;
};

}  // namespace quillon::control
