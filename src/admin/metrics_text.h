// A page of metrics in the Prometheus text exposition format, version
// 0.0.4: per family one "# HELP" and one "# TYPE" line, then its samples,
// "name{label="value",...} value". Label values are escaped (backslash,
// double quote, line feed), so no account name can end a value or a line.
//
// Thread-safety: one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon::admin {

class MetricsText {
 public:
  static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

  using Labels = std::vector<std::pair<std::string_view, std::string_view>>;

  // Begins the family `name` of `type` ("counter" or "gauge"). Its samples
  // follow, each under the same name.
  void Family(std::string_view name, std::string_view type, std::string_view help);
  void Sample(std::string_view name, std::uint64_t value, const Labels& labels = {});
  void Sample(std::string_view name, double value, const Labels& labels = {});

  const std::string& Text() const { return text_; }

  // A label value as the format writes it between its double quotes.
  static std::string EscapeLabelValue(std::string_view value);

 private:
  void SampleText(std::string_view name, const std::string& value, const Labels& labels);

  std::string text_;
};

}  // namespace quillon::admin
