// Small text helpers of the remote admin's request parsing: percent-decoding,
// the tokens of header values, cutting to a field's size, and the numbers of
// form fields.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::http {

// The value of an upper-case hex digit, or -1 (lower case is not a digit).
int HexDigit(char ch);
// "%XX" with upper-case hex digits becomes its byte (0 becomes '#'); any
// other '%' stays with what follows it.
std::string PercentDecode(std::string_view text);
// Query values and form names: '+' is a space, then percent-decoded (so
// "%2B" is a plus).
std::string DecodeValue(std::string_view text);
// The value of a "key=value" or key="value" token.
std::string TokenValue(std::string_view token);
// At most `most` characters of `text`.
inline std::string Cut(std::string_view text, std::size_t most) {
  return std::string(text.substr(0, most));
}

// The number of a form field: decimal digits after optional blanks and one
// sign, read as far as they go (no digits read as 0, as before). False when
// the number lies outside [lowest, highest]: a negative number for a field
// that cannot hold one, or more than the field holds, is refused rather
// than wrapped into the field's width.
[[nodiscard]] bool ReadFormNumber(std::string_view text, std::int64_t lowest, std::int64_t highest,
                                  std::int64_t* value);
// The same for the unsigned 32-bit fields of the settings and records.
[[nodiscard]] bool ReadFormNumber(std::string_view text, std::uint32_t* value);

// Calls `visit` for each ';'-separated token of a header value, skipping the
// bytes that may lead a token (blanks, tabs, Telnet bytes).
template <typename Visit>
void ForEachToken(std::string_view value, Visit visit) {
  std::size_t at = 0;
  while (at < value.size()) {
    while (at < value.size()) {
      const auto ch = static_cast<unsigned char>(value[at]);
      if (ch != 0xFF && ch != 0xF4 && ch != 0xF2 && ch != ';' && ch != ' ' && ch != '\t') break;
      ++at;
    }
    if (at >= value.size()) break;
    const std::size_t end = std::min(value.find(';', at), value.size());
    visit(value.substr(at, end - at));
    at = end;
  }
}

}  // namespace quillon::http
