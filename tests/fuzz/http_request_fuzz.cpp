// A request as it arrives on the admin port: header lines split where the
// connection splits them, then the body in pieces whose sizes come from the
// input too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "http/http_request.h"
#include "platform/clock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon;
  platform::SystemClock clock;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  http::HttpRequest request("127.0.0.1", "40000", fuzz::ScratchFolder(), clock);
  // Header lines end with CR LF; the connection cuts a line at 4096 bytes.
  bool ended = false;
  while (!input.empty() && request.HeaderLines() < 200) {
    const std::size_t end = input.find("\r\n");
    std::string_view line = input.substr(0, std::min<std::size_t>(end, 4096));
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 2);
    line = line.substr(0, line.find('\0'));
    if (line.empty()) {
      request.HeadersEnded();
      ended = true;
      break;
    }
    request.ParseHeaderLine(line);
  }
  if (!ended || request.GetMethod() != http::HttpRequest::Method::kPost) return 0;
  // Piece sizes: each piece begins with a byte that says how long it is.
  while (!input.empty() && !request.IsComplete() && !request.IsRefused()) {
    const std::size_t length = std::min<std::size_t>(1 + static_cast<unsigned char>(input[0]), input.size() - 1);
    if (!request.FeedBody(input.data() + 1, length)) break;
    input.remove_prefix(1 + length);
  }
  if (request.IsComplete()) {
    std::string value;
    [[maybe_unused]] bool found = request.FormFieldValue("pass", &value, 100);
    for (const auto& part : request.Parts()) [[maybe_unused]] auto content = request.PartContent(part);
  }
  return 0;
}
