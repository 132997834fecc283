// Splits a page template into literal text and placeholder names. A
// placeholder is written in one of two forms: the comment form
// (less-than, '!', two hyphens, NAME, two hyphens, greater-than) or the
// hash form (four '#', NAME, four '#').
//
// Rules: a broken-off opener is literal text; the first character of NAME
// must not be '-', a blank, CR or LF (nor '#' in the hash form), else the
// opener and that character are literal; NAME runs to the first '-' (comment
// form) or '#' (hash form), and the closer after it is skipped without being
// checked; a NAME of 100 characters or more reads as "BADFLAG".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::http {

class TemplateScanner {
 public:
  static constexpr std::size_t kNameCapacity = 100;

  explicit TemplateScanner(std::string_view text) : text_(text) {}

  // Appends the literal text before the next placeholder to *literal and
  // sets *name to that placeholder's NAME; an empty *name means the end.
  void Next(std::string* literal, std::string* name);

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace quillon::http
