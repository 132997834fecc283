#include "control/session_control.h"

#include "ftp/ftp_server.h"
#include "runtime/critical_section.h"
#include "settings/server_settings.h"
#include "fileutil/text.h"

namespace quillon::control {

SessionControl::SessionControl(ftp::FtpServer& server) : server_(server) {}

std::vector<access::ActivitySnapshot> SessionControl::List() const { return server_.SessionList(); }

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
