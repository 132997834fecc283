#include "admin/status_pages.h"

#include <optional>
#include <vector>

#include "control/service_control.h"
#include "control/session_control.h"
#include "http/http_text.h"
#include "fileutil/text.h"

namespace quillon::admin {

namespace {

using http::EncodeUrl;
using http::EscapeHtml;
using http::HttpRequest;
using http::ReadFormNumber;
using Method = HttpRequest::Method;
using control::ServiceControl;
using control::SessionActionKind;
using control::SessionControl;
using fileutil::FormatText;

constexpr const char* kReasonCharsMessage =
    "The reason cannot contain the following characters: &quot;*:,;'?&gt;&lt;,|";

constexpr const char* kRowFormat =
    "<table width=\"100%%\" border=\"0\" cellspacing=\"0\" cellpadding=\"1\">\r\n<tr>\r\n"
    "<td width=\"21%%\">\r\n<div align=\"left\"><font face=\"Arial, Helvetica, sans-serif\" "
    "size=\"2\">%s (<i>%s</i>)</font></div>\r\n</td>\r\n"
    "<td width=\"12%%\">\r\n<div align=\"left\"><font face=\"Arial, Helvetica, sans-serif\" "
    "size=\"2\">%s</font></div>\r\n</td>\r\n"
    "<td width=\"20%%\">\r\n<div align=\"left\"><font face=\"Arial, Helvetica, sans-serif\" "
    "size=\"2\">%s</font></div>\r\n</td>\r\n"
    "<td width=\"23%%\"> \r\n<div align=\"left\"><font face=\"Arial, Helvetica, sans-serif\" "
    "size=\"2\">%s</font></div>\r\n</td>\r\n"
    "<td width=\"8%%\"> \r\n<div align=\"center\"><font face=\"Arial, Helvetica, sans-serif\" "
    "size=\"2\">%s</font></div>\r\n</td>\r\n"
    "<td width=\"8%%\"> \r\n<div align=\"center\"><font face=\"Arial, Helvetica, sans-serif\" "
    "size=\"2\">%s</font></div>\r\n</td>\r\n"
    "<td width=\"8%%\"> \r\n<div align=\"center\"><font face=\"Arial, Helvetica, sans-serif\" "
    "size=\"2\">%s</font></div>\r\n</td>\r\n</tr>\r\n</table>\r\n"
    "<table height=\"1\" width=\"100%%\" border=\"0\" cellspacing=\"0\" cellpadding=\"1\" "
    "bgcolor=\"#CCCCCC\">\r\n<tr><td width=\"100%%\"></td></tr>\r\n</table>\r\n";

constexpr const char* kNoticeForm =
    "<form method=\"post\" action=\"_acknowledgedamage?id=%s\" class=\"notice error\" "
    "role=\"alert\">\r\n<p>%s</p>\r\n<button type=\"submit\" name=\"notice\" "
    "value=\"%u\">Acknowledge</button>\r\n</form>\r\n";

std::string Kb(std::uint64_t bytes) { return std::to_string(bytes / 1024); }

}  // namespace

StatusPages::StatusPages(AdminHandler& handler) : handler_(handler) {
  handler.AddRoute(Method::kGet, "/_status",
                   [this](HttpRequest& request, const std::string& id) { Status(request, id); });
  handler.AddRoute(Method::kGet, "/_activate",
                   [this](HttpRequest& request, const std::string& id) { Activate(request, id); });
  handler.AddRoute(Method::kGet, "/_sessionaction", [this](HttpRequest& request, const std::string& id) {
    SessionAction(request, id);
  });
  handler.AddRoute(Method::kPost, "/_processsessionaction",
                   [this](HttpRequest& request, const std::string& id) {
                     ProcessSessionAction(request, id);
                   });
  handler.AddRoute(Method::kPost, "/_acknowledgedamage",
                   [this](HttpRequest& request, const std::string& id) {
                     AcknowledgeDamage(request, id);
                   });
}

std::string StatusPages::DamageNotice(const ftp::DamageNotices::Notice& notice,
                                      const std::string& id) {
  const std::string text = FormatText(ftp::DamageNotices::kNoticeFormat, notice.text.c_str());
  return FormatText(kNoticeForm, id.c_str(), EscapeHtml(text).c_str(), notice.number);
}

std::string StatusPages::ActivityRow(const access::ActivitySnapshot& session, const std::string& id) {
  const std::string user = EncodeUrl(session.user_name);
  const std::string ip = EncodeUrl(session.peer_address);
  const std::string links = FormatText(
      "<a href=\"_sessionaction?id=%s&sessionid=%u&user=%s&ip=%s&mode=stop\">Stop</a> "
      "<a href=\"_sessionaction?id=%s&sessionid=%u&user=%s&ip=%s&mode=kick\">Kick</a>",
      id.c_str(), session.session_id, user.c_str(), ip.c_str(), id.c_str(), session.session_id,
      user.c_str(), ip.c_str());
  const std::string credits = session.use_credits ? std::to_string(session.credits) : std::string();
  return FormatText(kRowFormat, EscapeHtml(session.user_name).c_str(), links.c_str(),
                    EscapeHtml(session.peer_address).c_str(), EscapeHtml(session.activity).c_str(),
                    EscapeHtml(session.current_item).c_str(), Kb(session.bytes_received).c_str(),
                    Kb(session.bytes_sent).c_str(), credits.c_str());
}

void StatusPages::Status(HttpRequest& request, const std::string& id) {
  ftp::FtpServer& server = handler_.Server();
  const std::optional<ftp::FtpServer::Status> figures = ServiceControl(server).Status();
  const bool active = figures.has_value();
  const ftp::FtpServer::Status status = figures.value_or(ftp::FtpServer::Status{});
  const std::vector<access::ActivitySnapshot> sessions =
      active ? SessionControl(server).List() : std::vector<access::ActivitySnapshot>{};
  const std::vector<ftp::DamageNotices::Notice> notices = ServiceControl(server).Notices();
  const AdminHandler::PageFiller filler = [&](std::string_view name, std::string* out) {
    if (name == "ACTIVATELINK") {
      *out += FormatText("_activate?id=%s&action=start", id.c_str());
    } else if (name == "DEACTIVATELINK") {
      *out += FormatText("_activate?id=%s&action=stop", id.c_str());
    } else if (name == "OVERALLSTATUS") {
      *out += active ? FormatText("Activated - Operating on port %d", static_cast<int>(status.port))
                     : std::string("Deactivated");
    } else if (name == "USERSCOUNT") {
      *out += active ? std::to_string(status.users) : "-";
    } else if (name == "DATAINKB") {
      *out += active ? std::to_string(status.kb_received) + " KB" : "-";
    } else if (name == "DATAOUTKB") {
      *out += active ? std::to_string(status.kb_sent) + " KB" : "-";
    } else if (name == "ACTIVITYLIST") {
      for (const access::ActivitySnapshot& session : sessions) *out += ActivityRow(session, id);
    } else if (name == "DAMAGENOTICES") {
      for (const ftp::DamageNotices::Notice& notice : notices) *out += DamageNotice(notice, id);
    }
  };
  handler_.Page(request, id, "_status.html", &filler);
}

void StatusPages::Activate(HttpRequest& request, const std::string& id) {
  const std::string* action = request.QueryParam("action");
  if (action == nullptr) {
    handler_.ErrorRedirect(request, id, AdminHandler::kIncompleteForm);
    return;
  }
  ServiceControl service(handler_.Server());
  if (*action == "stop") {
    service.Deactivate();
  } else if (std::string error; !service.Activate(&error)) {
    handler_.ErrorRedirect(request, id, error);
    return;
  }
  handler_.RedirectTo(request, id, "_status");
}

void StatusPages::SessionAction(HttpRequest& request, const std::string& id) {
  const std::string* session_id = request.QueryParam("sessionid");
  const std::string* mode = request.QueryParam("mode");
  const std::string* user = request.QueryParam("user");
  const std::string* ip = request.QueryParam("ip");
  if (session_id == nullptr || mode == nullptr || user == nullptr || ip == nullptr) return;
  // A number that no session id can be names no session (never one it wraps to).
  std::uint32_t session = 0;
  if (!ReadFormNumber(*session_id, &session)) return;
  const bool kick = *mode == "kick";
  const SessionActionKind kind = kick ? SessionActionKind::kKick : SessionActionKind::kStopTransfer;
  const std::string reason = SessionControl(handler_.Server()).LastReason(kind);
  const AdminHandler::PageFiller filler = [&](std::string_view name, std::string* out) {
    if (name == "ACTIONTITLE") {
      *out += kick ? "Kicking a Session" : "Stopping a Transfer";
    } else if (name == "ACTIONMESSAGE") {
      *out += FormatText(kick ? "Kicking user '%s' (session ID %u and IP %s)..."
                              : "Stopping transfer of user '%s' (session ID %u and IP %s)...",
                         EscapeHtml(*user).c_str(), session, EscapeHtml(*ip).c_str());
    } else if (name == "ACTIONREASON") {
      *out += EscapeHtml(reason);
    } else if (name == "PROCESSSESSIONACTION") {
      *out += FormatText(kick ? "_processsessionaction?id=%s&sessionid=%u&mode=kick"
                              : "_processsessionaction?id=%s&sessionid=%u&mode=stop",
                         id.c_str(), session);
    }
  };
  handler_.Page(request, id, "_sessionaction.html", &filler);
}

void StatusPages::ProcessSessionAction(HttpRequest& request, const std::string& id) {
  const std::string* session_id = request.QueryParam("sessionid");
  const std::string* mode = request.QueryParam("mode");
  std::uint32_t session = 0;
  if (session_id == nullptr || mode == nullptr || !ReadFormNumber(*session_id, &session)) return;
  const SessionActionKind kind = *mode == "kick" ? SessionActionKind::kKick : SessionActionKind::kStopTransfer;
  if (!handler_.OpenForm(request, id, "_status")) return;
  std::string reason;
  if (!handler_.RequiredField(request, id, "actionreason", &reason, AdminHandler::kFieldCapacity))
    return;
  if (SessionControl(handler_.Server()).Request(session, kind, reason) !=
      control::SessionRequestResult::kQueued) {
    handler_.ErrorRedirect(request, id, kReasonCharsMessage);
    return;
  }
  handler_.SaveAndRedirect(request, id, "_status");
}

void StatusPages::AcknowledgeDamage(HttpRequest& request, const std::string& id) {
  if (!handler_.OpenForm(request, id, "_status")) return;
  std::string field;
  if (!handler_.RequiredField(request, id, "notice", &field, AdminHandler::kFieldCapacity)) return;
  // A notice acknowledged already (in another window) is no error.
  std::uint32_t number = 0;
  std::string file;
  if (ReadFormNumber(field, &number) && ServiceControl(handler_.Server()).AcknowledgeNotice(number, &file))
    handler_.Log(request, "Damaged File Acknowledged: File=[" + file + "]");
  handler_.RedirectTo(request, id, "_status");
}

}  // namespace quillon::admin
