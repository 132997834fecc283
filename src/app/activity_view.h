// The rules of the desktop's activity window: the rows of each refresh from
// the sessions' activity, the row to select again, the kick, block and
// stop-transfer requests, made through the sessions' control (which checks
// the reason and keeps it as the default offered next time) and refused
// here in the desktop's words, and the warnings about accounts near their
// allocation.
//
// Thread-safety: the desktop's thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/prompter.h"
#include "control/session_control.h"

namespace quillon::ftp {
class FtpServer;
}

namespace quillon::app {

struct ActivityRow {
  std::uint32_t session_id = 0;
  std::string user;
  std::string address;
  std::string action;
  std::string item;
  std::string kb_in;
  std::string kb_out;
  std::string credits;  // empty for accounts without credits
  std::string connected;  // how long the session has been connected: "m:ss" or "h:mm:ss"
  // The running transfer ("64.5 KB/s, 300 of 2000 KB, 0:04"), or how the
  // last one ended ("Stopped, 300 KB, 0:04"); empty before the first.
  std::string transfer;
};

class ActivityView {
 public:
  static constexpr std::uint32_t kRefreshMs = 1000;
  static constexpr std::size_t kReasonLength = 69;

  ActivityView(ftp::FtpServer& server, Prompter& prompter);

  // One row per session, in the order of the snapshot.
  std::vector<ActivityRow> Rows() const;
  // The row of one session's snapshot.
  static ActivityRow RowFor(const access::ActivitySnapshot& session);
  // The row of `session` among `rows` (none when it has gone).
  static std::optional<std::size_t> RowOf(const std::vector<ActivityRow>& rows,
                                          std::optional<std::uint32_t> session);

  // The reason offered in the prompt: the last one used.
  std::string KickReason() const;
  std::string StopReason() const;
  // Queues the request for the session with the reason typed; false with
  // the refusal shown when the reason holds a character it may not.
  bool Kick(std::uint32_t session, const std::string& reason);
  bool StopTransfer(std::uint32_t session, const std::string& reason);
  // Kicks the session with the reason typed (the kick's, offered by
  // KickReason) and puts its address on the server's blocked list, turning
  // the list on; the settings are saved when the window closes. False with
  // the refusal shown when nothing changed; true when blocked, with a note
  // when the safe list still lets the address in.
  bool BlockIp(std::uint32_t session, const std::string& reason);

  // One line per account whose known used space is above the warning share
  // of its allocation: "Account 'dave' has used 95% of its allocation (973
  // KB of 1 MB)."
  std::vector<std::string> AllocationWarnings() const;

 private:
  bool Request(std::uint32_t session, const std::string& reason, bool kick);

  void RefuseReason(bool kick);

  ftp::FtpServer& server_;
  control::SessionControl sessions_;
  Prompter& prompter_;
};

}  // namespace quillon::app
