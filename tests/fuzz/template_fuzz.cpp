// Page templates: the scanner must end, and literal text and names together
// never exceed what went in.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "http/template_scanner.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon;
  using fuzz::Check;
  http::TemplateScanner scanner(std::string_view(reinterpret_cast<const char*>(data), size));
  std::size_t literal_total = 0;
  for (std::size_t steps = 0;; ++steps) {
    Check(steps <= size + 1);  // every placeholder takes bytes
    std::string literal, name;
    scanner.Next(&literal, &name);
    literal_total += literal.size();
    Check(literal_total <= size);
    if (name.empty()) break;
    Check(name.size() < http::TemplateScanner::kNameCapacity || name == "BADFLAG");
  }
  return 0;
}
