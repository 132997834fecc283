// The parsing half of the command interpreter: what a control line says,
// before any handler runs. Pure functions over the client's bytes, so every
// one of them can be checked against hostile input on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ftp/replies.h"

namespace quillon::ftp {

// A command word of the dispatch table, in the order lines are matched.
struct CommandWord {
  const char* word;
  bool whole_line;    // the line must equal the word; otherwise a prefix
  const char* alias;  // another spelling read as this word ("XMKD"), or null
  // The reply to a line without an argument, when the command needs one;
  // null when it needs none (or its handler judges).
  const char* missing_argument;
};
inline constexpr CommandWord kCommandWords[] = {
    {"QUIT", true, nullptr, nullptr},
    {"NOOP", true, nullptr, nullptr},
    {"ALLO", false, nullptr, nullptr},
    {"MDTM", false, nullptr, replies::kNeedParameter},
    {"PWD", true, "XPWD", nullptr},
    {"CDUP", true, "XCUP", nullptr},
    {"CWD", false, "XCWD", replies::kNeedParameter},
    {"MKD", false, "XMKD", replies::kNeedParameter},
    {"RMD", false, "XRMD", replies::kNeedParameter},
    {"PORT", false, nullptr, replies::kPortParameters},
    {"PASV", true, nullptr, nullptr},
    {"RNFR", false, nullptr, replies::kNeedParameter},
    {"RNTO", false, nullptr, nullptr},  // "RNFR first" comes before the parameter
    {"DELE", false, nullptr, replies::kNeedParameter},
    {"SIZE", false, nullptr, replies::kNeedParameter},
    {"REST", false, nullptr, replies::kNeedParameter},
    {"SYST", true, nullptr, nullptr},
    {"HELP", false, nullptr, nullptr},
    {"TYPE", false, nullptr, replies::kNeedParameter},
    {"STRU", false, nullptr, replies::kNeedParameter},
    {"MODE", false, nullptr, replies::kNeedParameter},
    {"SITE", false, nullptr, replies::kNeedParameter},
    {"RETR", false, nullptr, replies::kNeedParameter},
    {"STOR", false, nullptr, replies::kNeedParameter},
    {"APPE", false, nullptr, replies::kNeedParameter},
    {"STOU", true, nullptr, nullptr},
    {"LIST", false, nullptr, nullptr},
    {"NLST", false, nullptr, nullptr},
    {"FEAT", true, nullptr, nullptr},
    {"OPTS", false, nullptr, replies::kNeedParameter},
    {"EPSV", false, nullptr, nullptr},
    {"EPRT", false, nullptr, replies::kNeedParameter},
    {"MLSD", false, nullptr, nullptr},
    {"MLST", false, nullptr, nullptr},
};
inline constexpr std::size_t kCommandCount = std::size(kCommandWords);

// A line matched to its command word.
struct CommandLine {
  std::size_t index;          // into kCommandWords
  std::string_view line;      // the line, an alias read as its word ("MKD x" for "XMKD x")
  std::string_view argument;  // what follows the word and one character; empty when
                              // the line is no longer than the word and a separator
};

// The line without the Telnet IAC, IP and DM bytes some clients put first.
std::string_view StripTelnet(std::string_view line);
// The first word of kCommandWords that `line` invokes (words and aliases
// compare without regard to case; a prefix alias needs a blank after it),
// or none.
std::optional<CommandLine> MatchCommand(std::string_view line);

// The path that the argument of LIST or NLST names ("" for the current
// folder). Words before it that begin with "-" are options, each followed by
// one blank: "-a", "-l", "-1", their combinations ("-la", "-al") and any
// other letters. Listings always hold every name, those beginning with "."
// included, one entry to a line, so the options change nothing. A lone "-"
// is a name, and "--" ends the options.
std::string_view ListingPath(std::string_view argument);

// An unsigned decimal number after optional blanks and "+"; false when there
// are no digits or the number does not fit 64 bits.
[[nodiscard]] bool ParseOffset(std::string_view text, std::uint64_t* value);

enum class PortArgument { kOk, kTooFewNumbers, kOutOfRange, kPrivilegedPort };
// "h1,h2,h3,h4,p1,p2": the address as dotted text and the port. Six numbers
// are needed (commas and blanks separate them; each may have a sign), each
// 0-255, and the port must be 1024 or above.
PortArgument ParsePortArgument(std::string_view argument, std::string* address,
                               std::uint32_t* port);

enum class EprtArgument { kOk, kSyntax, kProtocol };
// "|1|a.b.c.d|port|" (any printable delimiter in place of "|"): the IPv4
// address and port. kProtocol for another network protocol (2 is IPv6).
// The port is not checked beyond 0-65535.
EprtArgument ParseEprtArgument(std::string_view argument, std::string* address, std::uint32_t* port);

// The argument of an MDTM line that sets a time: "MDTM YYYYMMDDHHMMSS path".
// False unless the line holds the 14 digits and, after one separator, at
// least one character of path.
struct MdtmSetting {
  std::string_view stamp;  // the 14 digits
  std::string_view path;
};
[[nodiscard]] bool ParseMdtmSetting(std::string_view line, MdtmSetting* setting);

}  // namespace quillon::ftp
