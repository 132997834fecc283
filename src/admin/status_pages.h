// The status pages of the remote admin: the service's state with the list of
// logged-in sessions, starting and stopping the service, kicking a session
// or stopping its transfer with a reason, and the notices of damaged files
// until the administrator acknowledges them.
//
// Thread-safety: the pages run on the request threads; they read the server
// through its locked operations and list, kick and stop sessions through the
// sessions' control, never touching a session.
#pragma once

#include <string>

#include "access/activity_record.h"
#include "admin/admin_handler.h"

namespace quillon::admin {

class StatusPages {
 public:
  // Registers the routes _status, _activate, _sessionaction,
  // _processsessionaction and _acknowledgedamage with `handler`, which must
  // outlive this object.
  explicit StatusPages(AdminHandler& handler);

  // One session's row of the activity list. Cell texts are HTML-escaped and
  // the link's query values percent-encoded: paths come from FTP clients.
  static std::string ActivityRow(const access::ActivitySnapshot& session, const std::string& id);
  // One damaged file's notice, a form whose "Acknowledge" button posts its
  // number to _acknowledgedamage.
  static std::string DamageNotice(const ftp::DamageNotices::Notice& notice, const std::string& id);

 private:
  void Status(http::HttpRequest& request, const std::string& id);
  void Activate(http::HttpRequest& request, const std::string& id);
  void SessionAction(http::HttpRequest& request, const std::string& id);
  void ProcessSessionAction(http::HttpRequest& request, const std::string& id);
  void AcknowledgeDamage(http::HttpRequest& request, const std::string& id);

  AdminHandler& handler_;
};

}  // namespace quillon::admin
