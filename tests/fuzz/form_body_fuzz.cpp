// Form bodies alone: the first byte picks url-encoded or multipart (with the
// boundary "b"), the rest is the body, fed in pieces of 1 to 64 bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "http/http_request.h"
#include "platform/clock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon;
  using fuzz::Check;
  if (size < 2) return 0;
  platform::SystemClock clock;
  const bool multipart = data[0] & 1;
  const std::size_t piece = 1 + (data[0] >> 2);
  const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  http::HttpRequest request("127.0.0.1", "40000", fuzz::ScratchFolder(), clock);
  request.ParseHeaderLine("POST /_processgensettings?id=1 HTTP/1.1");
  request.ParseHeaderLine("Host: 127.0.0.1");
  request.ParseHeaderLine(multipart ? "Content-Type: multipart/form-data; boundary=b"
                                    : "Content-Type: application/x-www-form-urlencoded");
  request.ParseHeaderLine("Content-Length: " + std::to_string(body.size()));
  request.HeadersEnded();
  for (std::size_t at = 0; at < body.size() && !request.IsRefused(); at += piece) {
    if (!request.FeedBody(body.data() + at, std::min(piece, body.size() - at))) return 0;
  }
  if (request.IsRefused()) return 0;
  Check(request.IsComplete());  // the whole Content-Length came
  std::string value;
  for (const char* name : {"pass", "maxusers", "buttoncancel", ""})
    [[maybe_unused]] bool found = request.FormFieldValue(name, &value, 100);
  for (const auto& part : request.Parts()) {
    Check(part.length <= body.size());
    Check(request.PartContent(part).size() == part.length);
  }
  return 0;
}
