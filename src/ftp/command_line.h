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

// A command word of the dispatch table, in the order lines are matched.
struct CommandWord {
  const char* word;
  bool whole_line;  // the line must equal the word; otherwise a prefix
};
inline constexpr CommandWord kCommandWords[] = {
    {"QUIT", true}, {"NOOP", true},  {"ALLO", false}, {"MDTM", false}, {"PWD", true},
    {"XPWD", true}, {"CDUP", true},  {"XCUP", true},  {"CWD", false},  {"MKD", false},
    {"RMD", false}, {"PORT", false}, {"PASV", true},  {"RNFR", false}, {"RNTO", false},
    {"DELE", false}, {"SIZE", false}, {"REST", false}, {"SYST", true},  {"HELP", false},
    {"TYPE", false}, {"STRU", false}, {"MODE", false}, {"SITE", false}, {"RETR", false},
    {"STOR", false}, {"APPE", false}, {"STOU", true},  {"LIST", false}, {"NLST", false},
};
inline constexpr std::size_t kCommandCount = std::size(kCommandWords);

// A line matched to its command word.
struct CommandLine {
  std::size_t index;          // into kCommandWords
  std::string_view argument;  // what follows the word and one blank
  bool has_argument;          // the line is longer than the word and a blank
};

// The line without the Telnet IAC, IP and DM bytes some clients put first.
std::string_view StripTelnet(std::string_view line);
// "XMKD ", "XRMD " and "XCWD " lines read as MKD, RMD and CWD.
std::string_view DropAliasPrefix(std::string_view line);
// The first word of kCommandWords that `line` invokes (words compare
// without regard to case), or none.
std::optional<CommandLine> MatchCommand(std::string_view line);

// An unsigned decimal number after optional blanks and "+"; false when there
// are no digits or the number does not fit 64 bits.
[[nodiscard]] bool ParseOffset(std::string_view text, std::uint64_t* value);

enum class PortArgument { kOk, kTooFewNumbers, kOutOfRange, kPrivilegedPort };
// "h1,h2,h3,h4,p1,p2": the address as dotted text and the port. Six numbers
// are needed, each 0-255, and the port must be 1024 or above.
PortArgument ParsePortArgument(std::string_view argument, std::string* address,
                               std::uint32_t* port);

}  // namespace quillon::ftp
