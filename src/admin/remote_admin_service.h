// The remote admin as the application shell sees it: the admin handler and
// its HTTP server, started and stopped on the port of the settings. At its
// construction it writes the default not-found page to
// remoteadmin/error404.html when that file is missing, so administrators
// can edit it.
//
// Thread-safety: Start, Stop and ApplyPortChange are called by the shell's
// one controlling thread; the queries may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "admin/account_pages.h"
#include "admin/admin_handler.h"
#include "admin/folder_browser.h"
#include "admin/ip_pages.h"
#include "admin/log_viewer.h"
#include "admin/api_endpoint.h"
#include "admin/metrics_page.h"
#include "admin/record_extra_pages.h"
#include "admin/settings_pages.h"
#include "admin/status_pages.h"
#include "control/settings_control.h"
#include "ftp/ftp_server.h"
#include "http/http_server.h"
#include "platform/clock.h"

namespace quillon::admin {

class RemoteAdminService final : public control::RemoteAdminListener {
 public:
  RemoteAdminService(ftp::FtpServer& server, platform::Clock& clock,
                     const std::string& program_folder);
  ~RemoteAdminService() override;
  RemoteAdminService(const RemoteAdminService&) = delete;
  RemoteAdminService& operator=(const RemoteAdminService&) = delete;

  bool IsRunning() const { return http_->IsRunning(); }
  // Listens on mRAPort; already running is success. With admin_tls on, the
  // certificate is taken at the start and kept until the stop: whatever
  // later happens to the FTP side's TLS (a re-activation that cannot read
  // the key), the admin speaks HTTPS only. False when the certificate cannot
  // be had (the admin then never falls back to plain HTTP).
  [[nodiscard]] bool Start();
  // Why the last Start failed for want of privileges on its port
  // ("permission denied: ports below 1024 need root"); "" otherwise.
  std::string PortPermissionReason();
  // Takes the certificate the FTP side holds now (after a reload) for the
  // connections accepted from now on, with quillon.conf's PROXY protocol
  // rules. False (logged) when admin_tls wants one that cannot be had; the
  // running one stays then. True when not running.
  [[nodiscard]] bool ReloadTls();
  // Stops listening and ends every connection.
  void Stop();
  // Moves a running listener to the current mRAPort. False when not running,
  // or when the port cannot be opened (the listener is then stopped).
  [[nodiscard]] bool ApplyPortChange();
  bool IsPortAvailable(std::uint32_t port) override { return http_->IsPortAvailable(port); }
  std::uint16_t LocalPort() { return http_->LocalPort(); }
  // The open browser connections and the KB sent in this run.
  std::uint32_t ConnectionCount() { return http_->ConnectionCount(); }
  std::uint32_t KbSent() { return http_->KbSent(); }

  // Copy the remote-admin log's number from or to mRALogStartVal.
  void LoadLogStartValue();
  void StoreLogStartValue();

  AdminHandler& Handler() { return handler_; }
  IpPages& Ips() { return ip_pages_; }

 private:
  std::uint32_t ReadPort();
  // The certificate of a run: null when the settings want plain HTTP. False
  // (logged) when they want HTTPS and the certificate cannot be loaded.
  bool TakeTlsContext(std::shared_ptr<const platform::TlsContext>* context);
  // Hands quillon.conf's listen addresses to the listener for its next
  // start or port change, with the PROXY protocol rules.
  void TakeListenAddresses();
  // Hands quillon.conf's PROXY protocol rules to the listener.
  void TakeProxyRules();

  ftp::FtpServer& server_;
  AdminHandler handler_;
  // The page families; they register their routes with handler_.
  StatusPages status_pages_;
  SettingsPages settings_pages_;
  IpPages ip_pages_;
  LogViewer log_viewer_;
  AccountPages account_pages_;
  RecordExtraPages record_extra_pages_;
  FolderBrowser folder_browser_;
  MetricsPage metrics_page_;
  ApiEndpoint api_endpoint_;
  std::unique_ptr<http::HttpServer> http_;
};

}  // namespace quillon::admin
