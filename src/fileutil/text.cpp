#include "fileutil/text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <limits>

namespace quillon::fileutil {

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
  if (needed > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

bool CopyText(std::string* dst, std::string_view src, std::size_t capacity) {
  const std::size_t room = capacity > 0 ? capacity - 1 : 0;
  dst->assign(src.substr(0, room));
  return src.size() <= room;
}

bool AppendText(std::string* dst, std::string_view src, std::size_t capacity) {
  const std::size_t room = capacity > 0 ? capacity - 1 : 0;
  if (dst->size() >= room) {
    if (dst->size() > room) dst->resize(room);
    return src.empty();
  }
  const std::size_t take = std::min(src.size(), room - dst->size());
  dst->append(src.substr(0, take));
  return take == src.size();
}

std::size_t ReplaceChar(std::string* text, char from, char to) {
  std::size_t count = 0;
  for (char& ch : *text) {
    if (ch == from) {
      ch = to;
      ++count;
    }
  }
  return count;
}

std::size_t ReplaceAll(std::string* text, std::size_t capacity, std::string_view find,
                       std::string_view replace) {
  if (find.empty()) return 0;
  const std::size_t room = capacity > 0 ? capacity - 1 : 0;
  std::size_t count = 0;
  std::size_t at = 0;
  while ((at = text->find(find, at)) != std::string::npos) {
    if (text->size() - find.size() + replace.size() > room) break;
    text->replace(at, find.size(), replace);
    at += replace.size();
    ++count;
  }
  return count;
}

std::size_t StripTrailing(std::string* text, char ch) {
  std::size_t count = 0;
  while (!text->empty() && text->back() == ch) {
    text->pop_back();
    ++count;
  }
  return count;
}

char FoldCase(char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + ('a' - 'A')) : ch; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::uint32_t ParseUnsigned(std::string_view text, bool reject_minus) {
  if (reject_minus && text.find('-') != std::string_view::npos) return 0;
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  std::uint64_t value = 0;
  bool saturated = false;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const unsigned digit = static_cast<unsigned>(text[at] - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) saturated = true;
    if (!saturated) value = value * 10 + digit;
  }
  if (saturated) value = std::numeric_limits<std::uint64_t>::max();
  if (negative) value = 0 - value;
  return static_cast<std::uint32_t>(value);
}

void AppendHexEscape(std::string* out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out->append("\\x");
  out->push_back(kHex[byte >> 4]);
  out->push_back(kHex[byte & 15]);
}

std::string LowerHex(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    text.push_back(kHex[value >> 4]);
    text.push_back(kHex[value & 15]);
  }
  return text;
}

bool ParseHex(std::string_view hex, std::string* bytes) {
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) return false;
  bytes->clear();
  bytes->reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = digit(hex[i]), low = digit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

}  // namespace quillon::fileutil
