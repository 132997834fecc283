#include "control/session_control.h"

#include <optional>

#include "control/ip_list_control.h"
#include "ftp/ftp_server.h"
#include "runtime/critical_section.h"
#include "settings/server_settings.h"
#include "fileutil/text.h"

namespace quillon::control {

SessionControl::SessionControl(ftp::FtpServer& server) : server_(server) {}

std::vector<access::ActivitySnapshot> SessionControl::List() const { return server_.SessionList(); }

std::optional<access::ActivitySnapshot> SessionControl::Find(std::uint32_t session) const {
  for (access::ActivitySnapshot& entry : server_.SessionList())
    if (entry.session_id == session) return std::move(entry);
  return std::nullopt;
}

BlockOutcome SessionControl::KickAndBlock(std::uint32_t session, std::string_view reason) {
  BlockOutcome outcome;
  if (!ReasonIsAllowed(reason)) {
    outcome.result = BlockResult::kReasonHasIllegalChars;
    return outcome;
  }
  const std::optional<access::ActivitySnapshot> found = Find(session);
  if (!found) return outcome;
  outcome.address = found->peer_address;
  outcome.user = found->user_name;
  {
    settings::ServerSettings& settings = server_.Settings();
    runtime::CriticalSection::Guard guard(settings.Lock());
    runtime::IpRangeList blocked = settings.mBlockIPs;
    // An IPv6 client is blocked with its /64, as it could move to any other
    // address of it.
    const std::optional<runtime::IpAddress> address = runtime::IpAddress::Parse(outcome.address);
    if (!address || IpListControl::Add(&blocked, address->LimitKeyText(), nullptr) != IpAddFault::kNone) {
      outcome.result = BlockResult::kAddressNotValid;
      return outcome;
    }
    settings.mBlockIPs = std::move(blocked);
    outcome.list_was_off = !settings.mUseBlockIPs;
    settings.mUseBlockIPs = true;
    outcome.safe_listed =
        settings.mUseSafeIPs && settings.mSafeIPs.Contains(*address);
  }
  // The reason was checked above: the kick is queued.
  [[maybe_unused]] const SessionRequestResult queued = Request(session, SessionActionKind::kKick, reason);
  outcome.result = BlockResult::kBlocked;
  return outcome;
}

std::string SessionControl::LastReason(SessionActionKind kind) const {
  settings::ServerSettings& settings = server_.Settings();
  runtime::CriticalSection::Guard guard(settings.Lock());
  return kind == SessionActionKind::kKick ? settings.mKickReason : settings.mStopReason;
}

bool SessionControl::ReasonIsAllowed(std::string_view reason) {
  return reason.find_first_of(kIllegalReasonChars) == std::string_view::npos;
}

SessionRequestResult SessionControl::Request(std::uint32_t session, SessionActionKind kind,
                                             std::string_view reason) {
  if (!ReasonIsAllowed(reason)) return SessionRequestResult::kReasonHasIllegalChars;
  server_.Auth().QueueSessionAction(session, kind, reason);
  settings::ServerSettings& settings = server_.Settings();
  runtime::CriticalSection::Guard guard(settings.Lock());
  std::string& stored = kind == SessionActionKind::kKick ? settings.mKickReason : settings.mStopReason;
  fileutil::CopyText(&stored, reason, settings::ServerSettings::kReasonCapacity);
  return SessionRequestResult::kQueued;
}

}  // namespace quillon::control
