#include "ftp/command_line.h"

#include <algorithm>
#include <cstdio>

#include "vfs/text.h"

namespace quillon::ftp {

std::string_view StripTelnet(std::string_view line) {
  while (!line.empty()) {
    const auto byte = static_cast<unsigned char>(line.front());
    if (byte != 255 && byte != 244 && byte != 242) break;
    line.remove_prefix(1);
  }
  return line;
}

std::string_view DropAliasPrefix(std::string_view line) {
  if (vfs::StartsWithNoCase(line, "XMKD ") || vfs::StartsWithNoCase(line, "XRMD ") ||
      vfs::StartsWithNoCase(line, "XCWD "))
    line.remove_prefix(1);
  return line;
}

std::optional<CommandLine> MatchCommand(std::string_view line) {
  for (std::size_t i = 0; i < kCommandCount; ++i) {
    const std::string_view word = kCommandWords[i].word;
    if (kCommandWords[i].whole_line ? !vfs::EqualNoCase(line, word)
                                    : !vfs::StartsWithNoCase(line, word))
      continue;
    const bool has_argument = line.size() > word.size() + 1;
    return CommandLine{i, has_argument ? line.substr(word.size() + 1) : std::string_view(),
                       has_argument};
  }
  return std::nullopt;
}

bool ParseOffset(std::string_view text, std::uint64_t* value) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (at < text.size() && text[at] == '+') ++at;
  const std::size_t first = at;
  std::uint64_t result = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const unsigned digit = static_cast<unsigned>(text[at] - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  if (at == first) return false;
  *value = result;
  return true;
}

PortArgument ParsePortArgument(std::string_view argument, std::string* address,
                               std::uint32_t* port) {
  std::string numbers(argument.substr(0, 2043));
  vfs::ReplaceChar(&numbers, ',', ' ');
  int v[6];
  if (std::sscanf(numbers.c_str(), "%d %d %d %d %d %d", &v[0], &v[1], &v[2], &v[3], &v[4],
                  &v[5]) < 6)
    return PortArgument::kTooFewNumbers;
  if (std::any_of(std::begin(v), std::end(v), [](int n) { return n < 0 || n > 255; }))
    return PortArgument::kOutOfRange;
  const int number = v[4] * 256 + v[5];
  if (number < 1024) return PortArgument::kPrivilegedPort;
  *address = vfs::FormatText("%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
  *port = static_cast<std::uint32_t>(number);
  return PortArgument::kOk;
}

}  // namespace quillon::ftp
