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
#include <optional>
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

// What became of a kick that blocks the session's address as well.
enum class BlockResult {
  kBlocked,                // the kick is queued and the address is on the blocked list, in use
  kReasonHasIllegalChars,  // nothing changed
  kSessionGone,            // no session has that id now: nothing changed
  kAddressNotValid,        // the session's address is no IPv4 address: nothing changed
};

// What a block did besides, for the face to tell.
struct BlockOutcome {
  BlockResult result = BlockResult::kSessionGone;
  std::string address;          // the session's address (when it was found)
  std::string user;             // the session's user name
  bool list_was_off = false;    // the blocked list was not in use: now it is
  bool safe_listed = false;     // the safe list, in use, admits the address before the blocked list
};

class SessionControl {
 public:
  // The faces' texts for what KickAndBlock did besides blocking.
  static constexpr const char* kBlockSessionGone = "The session has ended: its IP was not blocked.";
  static constexpr const char* kBlockAddressNotValid = "The session's IP cannot be blocked: it is not a valid IP.";
  static constexpr const char* kBlockSafeListed =
      "The session was kicked and its IP added to the blocked IPs, but the IP is also on the safe IPs, "
      "which are in use and let it connect.";

  // A reason travels to the client in a reply line and into the FTP log, so
  // it may not hold the separators of either.
  static constexpr std::string_view kIllegalReasonChars = "\"*:;'?><,|\t\r\n";

  explicit SessionControl(ftp::FtpServer& server);

  // One entry per connected session, in the order the engine keeps them.
  std::vector<access::ActivitySnapshot> List() const;
  // The entry of session `session`; none when it has gone.
  std::optional<access::ActivitySnapshot> Find(std::uint32_t session) const;

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

  // Kicks session `session` with `reason` (as Request with kKick does) and
  // adds its address to the server's blocked list by IpListControl's rules,
  // turning the list on. The settings are changed, not saved: the face
  // saves them as after any change of the IP lists.
  [[nodiscard]] BlockOutcome KickAndBlock(std::uint32_t session, std::string_view reason);

 private:
  ftp::FtpServer& server_;
};

}  // namespace quillon::control
