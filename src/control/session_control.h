// The sessions as every face sees them: the list of what each session is
// doing, and the kick and stop-transfer requests with their reason rule.
// The reason of each request is kept in the settings as the default the
// faces offer next time (saved by the next save of the settings).
//
// A SessionControl holds only a reference to the server, so a face may make
// one per request. Thread-safety: any thread; the server's parts lock
// themselves.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "access/activity_record.h"
#include "access/session_action_queue.h"

namespace quillon::ftp {
class FtpServer;
}

namespace quillon::control {

using access::SessionActionKind;

// What became of a kick or stop-transfer request; each face words a refusal
// in its own text.
enum class SessionRequestResult {
  kQueued,
  kReasonHasIllegalChars,  // nothing queued and the stored default is unchanged
};

class SessionControl {
 public:
  // A reason travels to the client in a reply line and into the FTP log, so
  // it may not hold the separators of either.
  static constexpr std::string_view kIllegalReasonChars = "\"*:;'?><,|\t\r\n";

  explicit SessionControl(ftp::FtpServer& server);

  // One entry per connected session, in the order the engine keeps them.
  std::vector<access::ActivitySnapshot> List() const;

  // The reason last given for this kind of request (the settings' default
  // before the first).
  std::string LastReason(SessionActionKind kind) const;

  // True when `reason` holds none of kIllegalReasonChars.
  static bool ReasonIsAllowed(std::string_view reason);

  // Checks the reason, queues the request for session `session` (a session
  // that has gone never takes it) and keeps the reason, cut to the settings'
  // capacity, as the default for its kind. kReasonHasIllegalChars changes
  // nothing.
  [[nodiscard]] SessionRequestResult Request(std::uint32_t session, SessionActionKind kind,
                                             std::string_view reason);

 private:
  ftp::FtpServer& server_;
};

}  // namespace quillon::control
