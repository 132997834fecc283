// A form shown again after one of its fields was refused: the refusal's
// text beside that field and the texts as they were typed.
//
// Templates name the places by the form field's name in capitals: the
// field's value at "<!--NAME-->" and its refusal at "<!--NAMEERROR-->"
// (field "maxsize": MAXSIZE, MAXSIZEERROR). The refusal is written as
// <p class="field-error" id="<field>-error" role="alert">text</p>.
//
// Thread-safety: a value; one request fills it and reads it.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon::admin {

class FormRefusal {
 public:
  // No field refused: every refusal place stays empty.
  FormRefusal() = default;
  // `message` (a fixed text; its character references such as "&quot;"
  // show as their characters) refused the value of `field`.
  FormRefusal(std::string_view field, std::string_view message) : field_(field), message_(message) {}

  bool Refused() const { return !field_.empty(); }
  const std::string& Field() const { return field_; }
  const std::string& Message() const { return message_; }

  // Shows `text` (as typed, escaped when filled) in place of the stored value
  // of `field`, for a text the stored value cannot hold.
  void KeepTyped(std::string_view field, std::string_view text);

  // Fills a placeholder of the form: the refusal at its field's error
  // place, nothing at the other error places, a kept text at its field's
  // value place. False when `placeholder` is none of these (the page fills
  // it).
  bool Fill(std::string_view placeholder, std::string* out) const;

 private:
  std::string field_;
  std::string message_;
  std::vector<std::pair<std::string, std::string>> typed_;  // field, text
};

}  // namespace quillon::admin
