#include "app/activity_view.h"

namespace quillon::app {

using control::SessionActionKind;

ActivityView::ActivityView(ftp::FtpServer& server, Prompter& prompter)
    : sessions_(server), prompter_(prompter) {}

std::vector<ActivityRow> ActivityView::Rows() const {
  std::vector<ActivityRow> rows;
  for (const access::ActivitySnapshot& session : sessions_.List()) {
    rows.push_back({session.session_id, session.user_name, session.peer_address, session.activity,
                    session.current_item, std::to_string(session.bytes_received / 1024),
                    std::to_string(session.bytes_sent / 1024),
                    session.use_credits ? std::to_string(session.credits) : std::string()});
  }
  return rows;
}

std::optional<std::size_t> ActivityView::RowOf(const std::vector<ActivityRow>& rows,
                                               std::optional<std::uint32_t> session) {
  if (!session) return std::nullopt;
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (rows[i].session_id == *session) return i;
  return std::nullopt;
}

std::string ActivityView::KickReason() const { return sessions_.LastReason(SessionActionKind::kKick); }

std::string ActivityView::StopReason() const {
  return sessions_.LastReason(SessionActionKind::kStopTransfer);
}

bool ActivityView::Kick(std::uint32_t session, const std::string& reason) {
  return Request(session, reason, true);
}

bool ActivityView::StopTransfer(std::uint32_t session, const std::string& reason) {
  return Request(session, reason, false);
}

bool ActivityView::Request(std::uint32_t session, const std::string& reason, bool kick) {
  const SessionActionKind kind = kick ? SessionActionKind::kKick : SessionActionKind::kStopTransfer;
  if (sessions_.Request(session, kind, reason) == control::SessionRequestResult::kQueued) return true;
  prompter_.Tell(kick ? "The reason cannot contain the following characters: \"*:,;'?<>,|"
                      : "The reason cannot contain the following characters: \"*:,;'?<<,|",
                 "Input Error", Prompter::Icon::kExclamation);
  return false;
}

}  // namespace quillon::app
