#include "ftp/command_line.h"

#include <algorithm>
#include <optional>

#include "fileutil/text.h"
#include "runtime/ip_address.h"

namespace quillon::ftp {

namespace {

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

// One number as scanf's "%d" reads it after separators: optional sign, then
// digits; the value saturates instead of overflowing. False when no digits.
bool ReadNumber(std::string_view text, std::size_t* at, std::int64_t* value) {
  std::size_t i = *at;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || !IsDigit(text[i])) return false;
  std::int64_t number = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i)
    number = std::min<std::int64_t>(number * 10 + (text[i] - '0'), std::int64_t{1} << 32);
  *value = negative ? -number : number;
  *at = i;
  return true;
}

// Plain digits, 0-65535.
bool ReadEprtPort(std::string_view digits, std::uint32_t* port) {
  if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), IsDigit)) return false;
  std::uint32_t number = 0;
  for (char ch : digits) number = number * 10 + static_cast<std::uint32_t>(ch - '0');
  if (number > 65535) return false;
  *port = number;
  return true;
}

}  // namespace

std::string_view StripTelnet(std::string_view line) {
  while (!line.empty()) {
    const auto byte = static_cast<unsigned char>(line.front());
    if (byte != 255 && byte != 244 && byte != 242) break;
    line.remove_prefix(1);
  }
  return line;
}

std::optional<CommandLine> MatchVerb(std::string_view line, std::string_view verb, VerbMatch match,
                                     const char* alias_text) {
  const std::string_view alias = alias_text != nullptr ? alias_text : "";
  std::string_view matched = line;
  bool hit = false;
  switch (match) {
    case VerbMatch::kWholeLine:
      hit = fileutil::EqualNoCase(line, verb) || (!alias.empty() && fileutil::EqualNoCase(line, alias));
      break;
    case VerbMatch::kPrefix:
      // "XMKD dir" reads as "MKD dir": the alias is the verb with a prefix.
      if (!alias.empty() && line.size() > alias.size() && line[alias.size()] == ' ' &&
          fileutil::StartsWithNoCase(line, alias))
        matched = line.substr(alias.size() - verb.size());
      hit = fileutil::StartsWithNoCase(matched, verb);
      break;
    case VerbMatch::kWord:
      hit = fileutil::StartsWithNoCase(line, verb) && (line.size() == verb.size() || line[verb.size()] == ' ');
      break;
  }
  if (!hit) return std::nullopt;
  const bool has_argument = match != VerbMatch::kWholeLine && matched.size() > verb.size() + 1;
  return CommandLine{matched, has_argument ? matched.substr(verb.size() + 1) : std::string_view()};
}

std::string_view ListingPath(std::string_view argument) {
  while (argument.size() >= 2 && argument.front() == '-') {
    const std::size_t blank = argument.find(' ');
    const std::string_view word = argument.substr(0, blank);
    argument.remove_prefix(blank == std::string_view::npos ? argument.size() : blank + 1);
    if (word == "--") break;
  }
  return argument;
}

bool ParseOffset(std::string_view text, std::uint64_t* value) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (at < text.size() && text[at] == '+') ++at;
  const std::size_t first = at;
  std::uint64_t result = 0;
  for (; at < text.size() && IsDigit(text[at]); ++at) {
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
  fileutil::ReplaceChar(&numbers, ',', ' ');
  std::int64_t v[6];
  std::size_t at = 0;
  for (std::int64_t& number : v)
    if (!ReadNumber(numbers, &at, &number)) return PortArgument::kTooFewNumbers;
  if (std::any_of(std::begin(v), std::end(v), [](std::int64_t n) { return n < 0 || n > 255; }))
    return PortArgument::kOutOfRange;
  const std::int64_t number = v[4] * 256 + v[5];
  if (number < 1024) return PortArgument::kPrivilegedPort;
  *address = fileutil::FormatText("%d.%d.%d.%d", static_cast<int>(v[0]), static_cast<int>(v[1]),
                             static_cast<int>(v[2]), static_cast<int>(v[3]));
  *port = static_cast<std::uint32_t>(number);
  return PortArgument::kOk;
}

EprtArgument ParseEprtArgument(std::string_view argument, std::string* address, std::uint32_t* port) {
  if (argument.size() < 2) return EprtArgument::kSyntax;
  const char delimiter = argument.front();
  if (delimiter < 33 || delimiter > 126) return EprtArgument::kSyntax;
  std::string_view fields[3];
  std::string_view rest = argument.substr(1);
  for (std::string_view& field : fields) {
    const std::size_t end = rest.find(delimiter);
    if (end == std::string_view::npos) return EprtArgument::kSyntax;
    field = rest.substr(0, end);
    rest.remove_prefix(end + 1);
  }
  if (!rest.empty()) return EprtArgument::kSyntax;
  if (fields[0] != "1" && fields[0] != "2") return EprtArgument::kProtocol;
  if (!ReadEprtPort(fields[2], port)) return EprtArgument::kSyntax;
  if (fields[0] == "2") {
    // An IPv6 address in its text form; an IPv4 one has protocol 1.
    const std::optional<runtime::IpAddress> parsed =
        fields[1].find(':') != std::string_view::npos ? runtime::IpAddress::Parse(fields[1]) : std::nullopt;
    if (!parsed) return EprtArgument::kSyntax;
    *address = parsed->Text();
    return EprtArgument::kOk;
  }
  // Four numbers of 0-255 and plain digits for the port.
  std::uint32_t octets[4];
  std::string_view text = fields[1];
  for (int i = 0; i < 4; ++i) {
    std::size_t digits = 0;
    octets[i] = 0;
    while (digits < text.size() && digits < 4 && IsDigit(text[digits]))
      octets[i] = octets[i] * 10 + static_cast<std::uint32_t>(text[digits++] - '0');
    if (digits == 0 || digits > 3 || octets[i] > 255) return EprtArgument::kSyntax;
    text.remove_prefix(digits);
    if (i < 3) {
      if (text.empty() || text.front() != '.') return EprtArgument::kSyntax;
      text.remove_prefix(1);
    }
  }
  if (!text.empty()) return EprtArgument::kSyntax;
  *address = fileutil::FormatText("%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
  return EprtArgument::kOk;
}

bool ParseMdtmSetting(std::string_view line, MdtmSetting* setting) {
  // "MDTM " (5), the stamp (14), a separator, and a path of one or more.
  if (line.size() < 21) return false;
  const std::string_view stamp = line.substr(5, 14);
  if (!std::all_of(stamp.begin(), stamp.end(), IsDigit)) return false;
  setting->stamp = stamp;
  setting->path = line.substr(20);
  return true;
}

}  // namespace quillon::ftp
