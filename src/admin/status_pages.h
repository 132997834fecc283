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
#include "control/record_control.h"

namespace quillon::admin {

class StatusPages {
 public:
  // Registers the routes _status, _statuslive, _activate, _sessionaction,
  // _processsessionaction and _acknowledgedamage with `handler`, which must
  // outlive this object.
  explicit StatusPages(AdminHandler& handler);

  // One session's row of the activity list. Cell texts are HTML-escaped and
  // the link's query values percent-encoded: paths come from FTP clients.
  static std::string ActivityRow(const access::ActivitySnapshot& session, const std::string& id);
  // The transfer cell of a row: the running transfer's rate, bytes (of its
  // size when known) and time; a transfer that ended, how it ended.
  static std::string TransferText(const access::ActivitySnapshot& session);
  // "m:ss", or "h:mm:ss" from an hour on.
  static std::string Duration(std::uint64_t ms);
  // "12.5 KB/s".
  static std::string Rate(std::uint64_t bytes_per_second);
  // One damaged file's notice, a form whose "Acknowledge" button posts its
  // number to _acknowledgedamage.
  static std::string DamageNotice(const ftp::DamageNotices::Notice& notice, const std::string& id);
  // The warning line of an account whose used space is above
  // the warning share of its allocation.
  static std::string AllocationWarning(const control::RecordRow& row);

 private:
  // The status page, or (`fragment`) only its live part: the totals and
  // the sessions, which the page's script fetches again every few seconds.
  void Status(http::HttpRequest& request, const std::string& id, bool fragment);
  void Activate(http::HttpRequest& request, const std::string& id);
  void SessionAction(http::HttpRequest& request, const std::string& id);
  void ProcessSessionAction(http::HttpRequest& request, const std::string& id);
  // Kicks the session, blocks its address and saves; logged in the remote
  // admin's log.
  void BlockIp(http::HttpRequest& request, const std::string& id, std::uint32_t session,
               const std::string& reason);
  void AcknowledgeDamage(http::HttpRequest& request, const std::string& id);

  AdminHandler& handler_;
};

}  // namespace quillon::admin
