// The command table of an FTP session: one row per verb, saying how a line
// names it, the reply to a line that lacks the argument it needs, the phases
// of a session in which it applies, and the session's handler for it. Lines
// are matched against the rows in the table's order; the first row that
// applies and matches takes the line.
//
// Thread-safety: the table is constant.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "ftp/command_line.h"

namespace quillon::ftp {

class FtpSession;

// The phases of a session, as bits of a row's `phases`.
inline constexpr std::uint8_t kBeforeLogin = 1;   // connected, not logged in
inline constexpr std::uint8_t kLoggedIn = 2;      // logged in, no transfer running
inline constexpr std::uint8_t kTransferring = 4;  // logged in, a transfer running

struct Command {
  // Runs the command: the row, the line's argument ("" when there is none)
  // and the line as its verb reads it. False ends the session.
  using Handler = bool (FtpSession::*)(const Command& command, std::string_view argument,
                                       std::string_view line);
  const char* verb;
  VerbMatch match;
  const char* alias;  // another spelling read as this verb ("XMKD"), or null
  // The reply to a line without an argument, when the command needs one;
  // null when it needs none (or its handler judges).
  const char* missing_argument;
  std::uint8_t phases;
  // The row applies only while the server offers TLS; otherwise its verb is
  // unknown, as it is to a server without TLS.
  bool tls_only;
  Handler handler;
};

// Every row, in the order lines are matched.
std::span<const Command> CommandTable();

// A line matched to its row.
struct FoundCommand {
  const Command* command;
  CommandLine parsed;
};
// The first row that applies in `phase` (one bit) and that `line` names, or
// none.
std::optional<FoundCommand> FindCommand(std::string_view line, std::uint8_t phase, bool tls_offered);

// The reply, once logged in, to a line that names no row.
const char* UnknownCommandReply(std::string_view line);

}  // namespace quillon::ftp
