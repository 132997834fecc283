#include "admin/form_refusal.h"

#include <algorithm>

#include "http/http_response.h"
#include "http/http_text.h"

namespace quillon::admin {

namespace {

constexpr std::string_view kErrorSuffix = "ERROR";

// Whether `placeholder` is `field` in capitals.
bool NamesField(std::string_view placeholder, std::string_view field) {
  return placeholder.size() == field.size() &&
         std::equal(field.begin(), field.end(), placeholder.begin(), [](char lower, char upper) {
           return (lower >= 'a' && lower <= 'z' ? static_cast<char>(lower - 'a' + 'A') : lower) == upper;
         });
}

}  // namespace

void FormRefusal::KeepTyped(std::string_view field, std::string_view text) {
  typed_.emplace_back(std::string(field), std::string(text));
}

bool FormRefusal::Fill(std::string_view placeholder, std::string* out) const {
  if (placeholder.size() > kErrorSuffix.size() && placeholder.ends_with(kErrorSuffix)) {
    if (Refused() && NamesField(placeholder.substr(0, placeholder.size() - kErrorSuffix.size()), field_)) {
      *out += "<p class=\"field-error\" id=\"" + http::EscapeHtml(field_) + "-error\" role=\"alert\">" +
              http::EscapeHtmlKeepingReferences(message_) + "</p>";
    }
    return true;
  }
  for (const auto& [field, text] : typed_) {
    if (!NamesField(placeholder, field)) continue;
    *out += http::EscapeHtml(text);
    return true;
  }
  return false;
}

}  // namespace quillon::admin
