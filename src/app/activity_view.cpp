#include "app/activity_view.h"

#include "access/session_action_queue.h"
#include "ftp/ftp_server.h"
#include "vfs/text.h"

namespace quillon::app {

namespace {
constexpr std::string_view kIllegalReasonChars = "\"*:;'?><,|\t\n\r";
}  // namespace

ActivityView::ActivityView(ftp::FtpServer& server, Prompter& prompter)
    : server_(server), prompter_(prompter) {}

std::vector<ActivityRow> ActivityView::Rows() const {
  std::vector<ActivityRow> rows;
  for (const access::ActivitySnapshot& session : server_.SessionList()) {
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

std::string ActivityView::KickReason() const {
  settings::ServerSettings& settings = server_.Settings();
  runtime::CriticalSection::Guard guard(settings.Lock());
  return settings.mKickReason;
}

std::string ActivityView::StopReason() const {
  settings::ServerSettings& settings = server_.Settings();
  runtime::CriticalSection::Guard guard(settings.Lock());
  return settings.mStopReason;
}

bool ActivityView::Kick(std::uint32_t session, const std::string& reason) {
  return Request(session, reason, true);
}

bool ActivityView::StopTransfer(std::uint32_t session, const std::string& reason) {
  return Request(session, reason, false);
}

bool ActivityView::Request(std::uint32_t session, const std::string& reason, bool kick) {
  if (reason.find_first_of(kIllegalReasonChars) != std::string::npos) {
    prompter_.Tell(kick ? "The reason cannot contain the following characters: \"*:,;'?<>,|"
                        : "The reason cannot contain the following characters: \"*:,;'?<<,|",
                   "Input Error", Prompter::Icon::kExclamation);
    return false;
  }
  server_.Auth().QueueSessionAction(
      session, kick ? access::SessionActionKind::kKick : access::SessionActionKind::kStopTransfer,
      reason);
  settings::ServerSettings& settings = server_.Settings();
  runtime::CriticalSection::Guard guard(settings.Lock());
  vfs::CopyText(kick ? &settings.mKickReason : &settings.mStopReason, reason,
                settings::ServerSettings::kReasonCapacity);
  return true;
}

}  // namespace quillon::app
