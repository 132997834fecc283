#include "admin/metrics_text.h"

#include <cmath>
#include <cstdio>

namespace quillon::admin {

namespace {

// Backslash and line feed escaped, and with `quote` the double quote too:
// HELP text escapes the first two, label values all three.
std::string Escape(std::string_view value, bool quote) {
  std::string text;
  text.reserve(value.size());
  for (char ch : value) {
    if (ch == '\\') {
      text += "\\\\";
    } else if (ch == '\n') {
      text += "\\n";
    } else if (quote && ch == '"') {
      text += "\\\"";
    } else {
      text += ch;
    }
  }
  return text;
}

}  // namespace

std::string MetricsText::EscapeLabelValue(std::string_view value) { return Escape(value, true); }

void MetricsText::Family(std::string_view name, std::string_view type, std::string_view help) {
  text_ += "# HELP " + std::string(name) + " " + Escape(help, false) + "\n";
  text_ += "# TYPE " + std::string(name) + " " + std::string(type) + "\n";
}

void MetricsText::Sample(std::string_view name, std::uint64_t value, const Labels& labels) {
  SampleText(name, std::to_string(value), labels);
}

void MetricsText::Sample(std::string_view name, double value, const Labels& labels) {
  char text[40];
  if (std::isfinite(value)) {
    std::snprintf(text, sizeof text, "%.9g", value);
  } else {
    std::snprintf(text, sizeof text, "%s", std::isnan(value) ? "NaN" : value > 0 ? "+Inf" : "-Inf");
  }
  SampleText(name, text, labels);
}

void MetricsText::SampleText(std::string_view name, const std::string& value, const Labels& labels) {
  text_ += name;
  if (!labels.empty()) {
    text_ += '{';
    bool first = true;
    for (const auto& [label, label_value] : labels) {
      if (!first) text_ += ',';
      first = false;
      text_ += std::string(label) + "=\"" + EscapeLabelValue(label_value) + "\"";
    }
    text_ += '}';
  }
  text_ += " " + value + "\n";
}

}  // namespace quillon::admin
