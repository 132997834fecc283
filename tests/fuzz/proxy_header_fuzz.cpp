// PROXY protocol headers from a load balancer (or anyone who reaches the
// port): parsing must end without a crash, a whole header never claims more
// bytes than it was given or than a header may take, and a header found in
// some bytes is found, the same, when more bytes follow.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "runtime/proxy_header.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon;
  using fuzz::Check;
  using runtime::ProxyHeader;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  ProxyHeader header;
  const ProxyHeader::Result result = ProxyHeader::Parse(bytes, &header);
  if (result != ProxyHeader::Result::kDone) return 0;
  Check(header.length > 0 && header.length <= bytes.size() && header.length <= ProxyHeader::kMaxBytes);
  ProxyHeader longer;
  const std::string followed = std::string(bytes) + "USER x\r\n";
  Check(ProxyHeader::Parse(followed, &longer) == ProxyHeader::Result::kDone);
  Check(longer.length == header.length && longer.has_client == header.has_client &&
        longer.client == header.client && longer.client_port == header.client_port);
  return 0;
}
