#include "http/http_text.h"

namespace quillon::http {

bool ReadFormNumber(std::string_view text, std::int64_t lowest, std::int64_t highest, std::int64_t* value) {
  // Digits beyond this do not change the verdict of any field (all fit in 33 bits).
  constexpr std::int64_t kSaturated = std::int64_t{1} << 40;
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  std::int64_t magnitude = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
    magnitude = std::min(kSaturated, magnitude * 10 + (text[at] - '0'));
  const std::int64_t number = negative ? -magnitude : magnitude;
  if (number < lowest || number > highest) return false;
  *value = number;
  return true;
}

bool ReadFormNumber(std::string_view text, std::uint32_t* value) {
  std::int64_t number = 0;
  if (!ReadFormNumber(text, 0, UINT32_MAX, &number)) return false;
  *value = static_cast<std::uint32_t>(number);
  return true;
}

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;  // upper case only
  return -1;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) {  // a lone '%', or '%' and one character, at the end
      out.append(text.substr(i));
      break;
    }
    const int high = HexDigit(text[i + 1]);
    const int low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) {
      out.append(text.substr(i, 3));
    } else {
      const char byte = static_cast<char>(high * 16 + low);
      out.push_back(byte == '\0' ? '#' : byte);
    }
    i += 2;
  }
  return out;
}

std::string DecodeValue(std::string_view text) {
  // '+' first: an encoded plus ("%2B") stays a plus.
  std::string spaced(text);
  std::replace(spaced.begin(), spaced.end(), '+', ' ');
  return PercentDecode(spaced);
}

std::string TokenValue(std::string_view token) {
  const std::size_t open = token.find('"');
  if (open != std::string_view::npos) {
    const std::size_t close = token.find('"', open + 1);
    if (close != std::string_view::npos) return std::string(token.substr(open + 1, close - open - 1));
  }
  const std::size_t equals = token.find('=');
  return equals == std::string_view::npos ? std::string() : std::string(token.substr(equals + 1));
}

}  // namespace quillon::http
