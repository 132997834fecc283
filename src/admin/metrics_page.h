// The metrics of the server at "/metrics" of the remote admin's port, in
// the Prometheus text format, for a scraper rather than a browser: sessions
// by state, logins, anti-hammering blocks, file transfers and their bytes
// and rates, passive ports, the folder-size cache, TLS handshakes, event
// programs, the process's processor time and memory, and the used space of
// each account with an allocation. Every name begins "quillon_".
//
// Who may read it: a request with a valid API token (read-only is enough),
// or, without any Authorization header, a client whose address is in
// metrics_allow. Anyone else (a wrong token too, from any address) gets 401
// with no detail.
//
// Thread-safety: requests arrive on their connections' threads at once;
// everything read locks itself.
#pragma once

#include <string>

#include "admin/admin_handler.h"
#include "ftp/ftp_server.h"

namespace quillon::admin {

class MetricsPage {
 public:
  static constexpr const char* kPath = "/metrics";

  // Registers the route with `handler`, which must outlive this object.
  MetricsPage(AdminHandler& handler, ftp::FtpServer& server);

  // The metrics of `server` as they are now.
  static std::string Collect(ftp::FtpServer& server);

 private:
  void Serve(http::HttpRequest& request, AdminHandler::TokenGrant grant);
  // The request comes from an address in metrics_allow.
  bool FromAllowedAddress(const http::HttpRequest& request);

  ftp::FtpServer& server_;
};

}  // namespace quillon::admin
