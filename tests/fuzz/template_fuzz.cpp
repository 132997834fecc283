// Page templates: the scanner must end, and literal text and names together
// never exceed what went in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "admin/template_scanner.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon;
  admin::TemplateScanner scanner(std::string_view(reinterpret_cast<const char*>(data), size));
  std::size_t literal_total = 0;
  for (std::size_t steps = 0;; ++steps) {
    if (steps > size + 1) std::abort();  // every placeholder takes bytes
    std::string literal, name;
    scanner.Next(&literal, &name);
    literal_total += literal.size();
    if (literal_total > size) std::abort();
    if (name.empty()) break;
    if (name.size() >= admin::TemplateScanner::kNameCapacity && name != "BADFLAG") std::abort();
  }
  return 0;
}
