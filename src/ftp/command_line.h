// The parsing half of the command interpreter: what a control line says,
// before any handler runs. Pure functions over the client's bytes, so every
// one of them can be checked against hostile input on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::ftp {

// How a line names a command's verb; words and aliases compare without
// regard to case.
enum class VerbMatch : std::uint8_t {
  kWholeLine,  // the line is the verb (or its alias) and nothing else
  kPrefix,     // the line begins with the verb; a prefix alias needs a blank after it
  kWord,       // the line's first blank-separated word is the verb
};

// A line read as an invocation of a verb.
struct CommandLine {
  std::string_view line;      // the line, an alias read as its verb ("MKD x" for "XMKD x")
  std::string_view argument;  // what follows the verb and one character; empty when
                              // the line is no longer than the verb and a separator
};

// The line without the Telnet IAC, IP and DM bytes some clients put first.
std::string_view StripTelnet(std::string_view line);
// `line` read as an invocation of `verb`, written as `match` says, or of
// its `alias` (null for none); none when the line names something else.
std::optional<CommandLine> MatchVerb(std::string_view line, std::string_view verb, VerbMatch match,
                                     const char* alias);

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
// "|1|a.b.c.d|port|" or "|2|ipv6-address|port|" (any printable delimiter
// in place of "|"): the address, in its standard text form, and the port.
// kProtocol for another network protocol. The port is not checked beyond
// 0-65535.
EprtArgument ParseEprtArgument(std::string_view argument, std::string* address, std::uint32_t* port);

// The argument of an MDTM line that sets a time: "MDTM YYYYMMDDHHMMSS path"
// (MFMT lines have the same shape; the verb is not read). False unless the line holds the 14 digits and, after one separator, at
// least one character of path.
struct MdtmSetting {
  std::string_view stamp;  // the 14 digits
  std::string_view path;
};
[[nodiscard]] bool ParseMdtmSetting(std::string_view line, MdtmSetting* setting);

}  // namespace quillon::ftp
