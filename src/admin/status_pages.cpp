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

// One cell of a session row: its width (a percentage) and alignment, then its text.
constexpr const char* kCellFormat =
    "<td width=\"%d%%\"%s>\r\n<div align=\"%s\"><font face=\"Arial, Helvetica, sans-serif\" "
    "size=\"2\">%s</font></div>\r\n</td>\r\n";
constexpr const char* kRowStart =
    "<table width=\"100%\" border=\"0\" cellspacing=\"0\" cellpadding=\"1\">\r\n<tr>\r\n";
constexpr const char* kRowEnd =
    "</tr>\r\n</table>\r\n"
    "<table height=\"1\" width=\"100%\" border=\"0\" cellspacing=\"0\" cellpadding=\"1\" "
    "bgcolor=\"#CCCCCC\">\r\n<tr><td width=\"100%\"></td></tr>\r\n</table>\r\n";

// The part of the status page that its script fetches again every few
// seconds: the totals and the sessions.
constexpr const char* kLiveTemplate = "_statuslive.html";

constexpr const char* kDeactivateForm =
    "<form method=\"post\" action=\"_activate?id=%s&action=stop\">"
    "<input type=\"hidden\" name=\"confirmed\" value=\"\">"
    "<button type=\"submit\" class=\"secondary danger\" name=\"buttondeactivate\" value=\"1\" "
    "onclick=\"if (!confirm('Deactivate the FTP server? Every connected session is disconnected.')) "
    "return false; this.form.elements.confirmed.value = '1';\">Deactivate</button></form>";

constexpr const char* kNoticeForm =
    "<form method=\"post\" action=\"_acknowledgedamage?id=%s\" class=\"notice error\" "
    "role=\"alert\">\r\n<p>%s</p>\r\n<button type=\"submit\" name=\"notice\" "
    "value=\"%u\">Acknowledge</button>\r\n</form>\r\n";

std::string Kb(std::uint64_t bytes) { return std::to_string(bytes / 1024); }

// `label` names the cell where a phone shows the row as lines (none: the first).
std::string Cell(int width, const char* label, const char* align, const std::string& text) {
  const std::string attribute = *label != '\0' ? FormatText(" data-label=\"%s\"", label) : std::string();
  return FormatText(kCellFormat, width, attribute.c_str(), align, text.c_str());
}

// The totals' rates of the running transfers: uploads in, downloads out.
struct Rates {
  std::uint64_t in = 0;
  std::uint64_t out = 0;
};

Rates SumRates(const std::vector<access::ActivitySnapshot>& sessions) {
  Rates rates;
  for (const access::ActivitySnapshot& session : sessions) {
    if (session.transfer_state != access::TransferState::kRunning) continue;
    (session.transfer_upload ? rates.in : rates.out) += session.transfer_rate;
  }
  return rates;
}

}  // namespace

StatusPages::StatusPages(AdminHandler& handler) : handler_(handler) {
  handler.AddRoute(Method::kGet, "/_status",
                   [this](HttpRequest& request, const std::string& id) { Status(request, id, false); });
  handler.AddRoute(Method::kGet, "/_statuslive",
                   [this](HttpRequest& request, const std::string& id) { Status(request, id, true); });
  handler.AddRoute(Method::kGet, "/_activate",
                   [this](HttpRequest& request, const std::string& id) { Activate(request, id); });
  handler.AddRoute(Method::kPost, "/_activate",
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

std::string StatusPages::Duration(std::uint64_t ms) {
  const std::uint64_t seconds = ms / 1000;
  const std::uint64_t hours = seconds / 3600;
  const auto minutes = static_cast<unsigned>(seconds / 60 % 60);
  const auto rest = static_cast<unsigned>(seconds % 60);
  if (hours > 0) return FormatText("%llu:%02u:%02u", static_cast<unsigned long long>(hours), minutes, rest);
  return FormatText("%u:%02u", minutes, rest);
}

std::string StatusPages::Rate(std::uint64_t bytes_per_second) {
  return FormatText("%.1f KB/s", static_cast<double>(bytes_per_second) / 1024.0);
}

std::string StatusPages::TransferText(const access::ActivitySnapshot& session) {
  using access::TransferState;
  if (session.transfer_state == TransferState::kNone) return {};
  std::string moved = Kb(session.transfer_bytes);
  if (session.transfer_size_known) moved += " of " + Kb(session.transfer_size);
  moved += " KB";
  const std::string time = Duration(session.transfer_ms);
  switch (session.transfer_state) {
    case TransferState::kRunning:
      return FormatText("<span class=\"rate\">%s</span><br>%s<br><span class=\"muted\">%s</span>",
                        Rate(session.transfer_rate).c_str(), moved.c_str(), time.c_str());
    case TransferState::kStopped:
      return FormatText("<span class=\"state-stopped\">Stopped</span><br>%s<br><span class=\"muted\">%s</span>",
                        moved.c_str(), time.c_str());
    case TransferState::kFailed:
      return FormatText("<span class=\"state-stopped\">Failed</span><br>%s<br><span class=\"muted\">%s</span>",
                        moved.c_str(), time.c_str());
    case TransferState::kCompleted:
    case TransferState::kNone: break;
  }
  return FormatText("Done<br>%s<br><span class=\"muted\">%s</span>", moved.c_str(), time.c_str());
}

std::string StatusPages::ActivityRow(const access::ActivitySnapshot& session, const std::string& id) {
  const std::string user = EncodeUrl(session.user_name);
  const std::string ip = EncodeUrl(session.peer_address);
  const std::string links = FormatText(
      "<a href=\"_sessionaction?id=%s&sessionid=%u&user=%s&ip=%s&mode=stop\">Stop</a> "
      "<a href=\"_sessionaction?id=%s&sessionid=%u&user=%s&ip=%s&mode=kick\">Kick</a> "
      "<a href=\"_sessionaction?id=%s&sessionid=%u&user=%s&ip=%s&mode=block\">Block&nbsp;IP</a>",
      id.c_str(), session.session_id, user.c_str(), ip.c_str(), id.c_str(), session.session_id,
      user.c_str(), ip.c_str(), id.c_str(), session.session_id, user.c_str(), ip.c_str());
  const std::string credits = session.use_credits ? std::to_string(session.credits) : std::string();
  std::string row = FormatText("<div class=\"session\" data-session=\"%u\">\r\n", session.session_id);
  row += kRowStart;
  row += Cell(16, "", "left", EscapeHtml(session.user_name) + " (<i>" + links + "</i>)");
  row += Cell(10, "IP address", "left", EscapeHtml(session.peer_address));
  row += Cell(7, "Connected", "left", Duration(session.connected_ms));
  row += Cell(14, "Action", "left", EscapeHtml(session.activity));
  row += Cell(17, "File / folder", "left", EscapeHtml(session.current_item));
  row += Cell(15, "Transfer", "left", TransferText(session));
  row += Cell(7, "KB in", "center", Kb(session.bytes_received));
  row += Cell(7, "KB out", "center", Kb(session.bytes_sent));
  row += Cell(7, "Credits", "center", credits);
  row += kRowEnd;
  row += "</div>\r\n";
  return row;
}

std::string StatusPages::AllocationWarning(const control::RecordRow& row) {
  return FormatText("<p class=\"notice error allocation\">%s</p>\r\n",
                    control::AllocationWarningText(row, EscapeHtml(row.name)).c_str());
}

void StatusPages::Status(HttpRequest& request, const std::string& id, bool fragment) {
  ftp::FtpServer& server = handler_.Server();
  const std::optional<ftp::FtpServer::Status> figures = ServiceControl(server).Status();
  const bool active = figures.has_value();
  const ftp::FtpServer::Status status = figures.value_or(ftp::FtpServer::Status{});
  const std::vector<access::ActivitySnapshot> sessions =
      active ? SessionControl(server).List() : std::vector<access::ActivitySnapshot>{};
  const Rates rates = SumRates(sessions);
  const std::vector<ftp::DamageNotices::Notice> notices =
      fragment ? std::vector<ftp::DamageNotices::Notice>{} : ServiceControl(server).Notices();
  const std::vector<control::RecordRow> crowded =
      fragment ? std::vector<control::RecordRow>{}
               : control::RecordControl(server, control::RecordKind::kAccount).AboveAllocation(control::RecordControl::kAllocationWarningPercent);
  // The live template is filled once, never inside itself.
  bool in_live = fragment;
  AdminHandler::PageFiller filler;
  filler = [&](std::string_view name, std::string* out) {
    if (name == "SERVICEACTION") {
      // Only the action that applies; deactivating asks first (in a dialog
      // with script, on a page of its own without).
      *out += active ? FormatText(kDeactivateForm, id.c_str())
                     : FormatText("<a class=\"button\" href=\"_activate?id=%s&action=start\">Activate</a>", id.c_str());
    } else if (name == "ACTIVATELINK") {
      *out += FormatText("_activate?id=%s&action=start", id.c_str());
    } else if (name == "DEACTIVATELINK") {
      *out += FormatText("_activate?id=%s&action=stop", id.c_str());
    } else if (name == "STATUSLIVELINK") {
      *out += FormatText("_statuslive?id=%s", id.c_str());
    } else if (name == "STATUSLIVE" && !in_live) {
      // The live part of the page, as the fragment sends it.
      in_live = true;
      [[maybe_unused]] const bool filled = handler_.Fill(request, id, kLiveTemplate, &filler, out);
      in_live = false;
    } else if (name == "OVERALLSTATUS") {
      *out += active ? FormatText("Activated - Operating on port %d", static_cast<int>(status.port))
                     : std::string("Deactivated");
    } else if (name == "USERSCOUNT") {
      *out += active ? std::to_string(status.users) : "-";
    } else if (name == "DATAINKB") {
      *out += active ? std::to_string(status.kb_received) + " KB" : "-";
    } else if (name == "DATAOUTKB") {
      *out += active ? std::to_string(status.kb_sent) + " KB" : "-";
    } else if (name == "RATEIN") {
      *out += active ? Rate(rates.in) : "-";
    } else if (name == "RATEOUT") {
      *out += active ? Rate(rates.out) : "-";
    } else if (name == "ACTIVITYLIST") {
      for (const access::ActivitySnapshot& session : sessions) *out += ActivityRow(session, id);
    } else if (name == "DAMAGENOTICES") {
      for (const ftp::DamageNotices::Notice& notice : notices) *out += DamageNotice(notice, id);
    } else if (name == "ALLOCATIONWARNINGS") {
      for (const control::RecordRow& row : crowded) *out += AllocationWarning(row);
    }
  };
  handler_.Page(request, id, fragment ? kLiveTemplate : "_status.html", &filler);
}

void StatusPages::Activate(HttpRequest& request, const std::string& id) {
  const std::string* action = request.QueryParam("action");
  if (action == nullptr) {
    handler_.ErrorRedirect(request, id, AdminHandler::kIncompleteForm);
    return;
  }
  const bool post = request.GetMethod() == Method::kPost;
  if (post && !handler_.OpenForm(request, id, "_status")) return;
  ServiceControl service(handler_.Server());
  if (*action == "stop") {
    // Deactivating ends every session: it is asked first (a link or a form
    // without the confirmation shows the confirmation page).
    if (!post || !AdminHandler::Confirmed(request)) {
      AdminHandler::Confirmation confirmation;
      confirmation.title = ServiceControl::kDeactivateTitle;
      confirmation.message = service.DeactivateQuestion();
      confirmation.action = "_activate?action=stop";
      confirmation.button_name = "buttondeactivate";
      confirmation.button = "Deactivate";
      confirmation.cancel_page = "_status";
      handler_.ConfirmPage(request, id, confirmation);
      return;
    }
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
  const bool block = *mode == "block";
  const bool kick = block || *mode == "kick";
  const SessionActionKind kind = kick ? SessionActionKind::kKick : SessionActionKind::kStopTransfer;
  const std::string reason = SessionControl(handler_.Server()).LastReason(kind);
  const AdminHandler::PageFiller filler = [&](std::string_view name, std::string* out) {
    if (name == "ACTIONTITLE") {
      *out += block ? "Blocking an IP" : kick ? "Kicking a Session" : "Stopping a Transfer";
    } else if (name == "ACTIONMESSAGE") {
      *out += FormatText(block  ? "Kicking user '%s' (session ID %u) and blocking IP %s..."
                         : kick ? "Kicking user '%s' (session ID %u and IP %s)..."
                                : "Stopping transfer of user '%s' (session ID %u and IP %s)...",
                         EscapeHtml(*user).c_str(), session, EscapeHtml(*ip).c_str());
    } else if (name == "ACTIONNOTE") {
      if (block)
        *out += "<p class=\"muted\">The session's address goes on the server's blocked IPs, which are "
                "switched on if they are off. An address on the safe IPs, while those are in use, "
                "still connects.</p>";
    } else if (name == "ACTIONREASON") {
      *out += EscapeHtml(reason);
    } else if (name == "PROCESSSESSIONACTION") {
      *out += FormatText("_processsessionaction?id=%s&sessionid=%u&mode=%s", id.c_str(), session,
                         block ? "block" : kick ? "kick" : "stop");
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
  if (*mode == "block") {
    BlockIp(request, id, session, reason);
    return;
  }
  if (SessionControl(handler_.Server()).Request(session, kind, reason) !=
      control::SessionRequestResult::kQueued) {
    handler_.ErrorRedirect(request, id, kReasonCharsMessage);
    return;
  }
  handler_.SaveAndRedirect(request, id, "_status");
}

void StatusPages::BlockIp(HttpRequest& request, const std::string& id, std::uint32_t session,
                          const std::string& reason) {
  const control::BlockOutcome outcome = SessionControl(handler_.Server()).KickAndBlock(session, reason);
  switch (outcome.result) {
    case control::BlockResult::kReasonHasIllegalChars:
      handler_.ErrorRedirect(request, id, kReasonCharsMessage);
      return;
    case control::BlockResult::kSessionGone:
      handler_.ErrorRedirect(request, id, SessionControl::kBlockSessionGone);
      return;
    case control::BlockResult::kAddressNotValid:
      handler_.ErrorRedirect(request, id, SessionControl::kBlockAddressNotValid);
      return;
    case control::BlockResult::kBlocked: break;
  }
  handler_.Log(request, FormatText("IP Blocked: IP=[%s], User=[%s], Session ID=[%u]", outcome.address.c_str(),
                                   outcome.user.c_str(), session));
  // Saved as after any change of the lists; a safe-listed address is saved
  // all the same, and the administrator learns why it still connects.
  handler_.ApplyAndSave(request, id, "_status", outcome.safe_listed ? SessionControl::kBlockSafeListed : "");
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
