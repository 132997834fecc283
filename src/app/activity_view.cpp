#include "app/activity_view.h"

#include "control/record_control.h"
#include "fileutil/text.h"

namespace quillon::app {

using control::SessionActionKind;

ActivityView::ActivityView(ftp::FtpServer& server, Prompter& prompter)
    : server_(server), sessions_(server), prompter_(prompter) {}

namespace {

std::string Duration(std::uint64_t ms) {
  const std::uint64_t seconds = ms / 1000;
  const std::uint64_t hours = seconds / 3600;
  const auto minutes = static_cast<unsigned>(seconds / 60 % 60);
  const auto rest = static_cast<unsigned>(seconds % 60);
  if (hours > 0) return fileutil::FormatText("%llu:%02u:%02u", static_cast<unsigned long long>(hours), minutes, rest);
  return fileutil::FormatText("%u:%02u", minutes, rest);
}

std::string TransferText(const access::ActivitySnapshot& session) {
  using access::TransferState;
  if (session.transfer_state == TransferState::kNone) return {};
  std::string moved = std::to_string(session.transfer_bytes / 1024);
  if (session.transfer_size_known) moved += " of " + std::to_string(session.transfer_size / 1024);
  moved += " KB, " + Duration(session.transfer_ms);
  switch (session.transfer_state) {
    case TransferState::kRunning:
      return fileutil::FormatText("%.1f KB/s, %s", static_cast<double>(session.transfer_rate) / 1024.0,
                                  moved.c_str());
    case TransferState::kStopped: return "Stopped, " + moved;
    case TransferState::kFailed: return "Failed, " + moved;
    case TransferState::kCompleted:
    case TransferState::kNone: break;
  }
  return "Done, " + moved;
}

}  // namespace

ActivityRow ActivityView::RowFor(const access::ActivitySnapshot& session) {
  return {session.session_id,
          session.user_name,
          session.peer_address,
          session.activity,
          session.current_item,
          std::to_string(session.bytes_received / 1024),
          std::to_string(session.bytes_sent / 1024),
          session.use_credits ? std::to_string(session.credits) : std::string(),
          Duration(session.connected_ms),
          TransferText(session)};
}

std::vector<ActivityRow> ActivityView::Rows() const {
  std::vector<ActivityRow> rows;
  for (const access::ActivitySnapshot& session : sessions_.List()) rows.push_back(RowFor(session));
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
  RefuseReason(kick);
  return false;
}

void ActivityView::RefuseReason(bool kick) {
  prompter_.Tell(kick ? "The reason cannot contain the following characters: \"*:,;'?<>,|"
                      : "The reason cannot contain the following characters: \"*:,;'?<<,|",
                 "Input Error", Prompter::Icon::kExclamation);
}

bool ActivityView::BlockIp(std::uint32_t session, const std::string& reason) {
  using control::BlockResult;
  using control::SessionControl;
  const control::BlockOutcome outcome = sessions_.KickAndBlock(session, reason);
  switch (outcome.result) {
    case BlockResult::kReasonHasIllegalChars: RefuseReason(true); return false;
    case BlockResult::kSessionGone:
      prompter_.Tell(SessionControl::kBlockSessionGone, "Block IP", Prompter::Icon::kExclamation);
      return false;
    case BlockResult::kAddressNotValid:
      prompter_.Tell(SessionControl::kBlockAddressNotValid, "Block IP", Prompter::Icon::kExclamation);
      return false;
    case BlockResult::kBlocked: break;
  }
  if (outcome.safe_listed)
    prompter_.Tell(SessionControl::kBlockSafeListed, "Block IP", Prompter::Icon::kInformation);
  return true;
}

std::vector<std::string> ActivityView::AllocationWarnings() const {
  const control::RecordControl accounts(server_, control::RecordKind::kAccount);
  std::vector<std::string> lines;
  for (const control::RecordRow& row : accounts.AboveAllocation(control::RecordControl::kAllocationWarningPercent))
    lines.push_back(control::AllocationWarningText(row, row.name));
  return lines;
}

}  // namespace quillon::app
