// JSON bodies of the admin interface: parsing must end without a crash,
// and whatever parses writes back to text that parses to the same value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "http/json_value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon;
  using fuzz::Check;
  std::string message;
  const auto value = http::JsonValue::Parse(std::string_view(reinterpret_cast<const char*>(data), size), &message);
  if (!value) {
    Check(!message.empty());
    return 0;
  }
  const std::string text = value->Dump();
  const auto again = http::JsonValue::Parse(text, &message);
  Check(again.has_value());
  Check(again->Dump() == text);
  return 0;
}
