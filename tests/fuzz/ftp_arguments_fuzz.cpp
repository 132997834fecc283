// The arguments the command handlers parse themselves: PORT's six numbers,
// REST's offset and MDTM's time stamp.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/command_line.h"
#include "fuzz/fuzz_support.h"
#include "fileutil/time_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon;
  using fuzz::Check;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::string address;
  std::uint32_t port = 0;
  if (ftp::ParsePortArgument(text, &address, &port) == ftp::PortArgument::kOk) {
    Check(port >= 1024 && port <= 65535);
    Check(address.size() >= 7 && address.size() <= 15);
  }

  std::uint64_t offset = 0;
  [[maybe_unused]] const bool parsed = ftp::ParseOffset(text, &offset);

  platform::FileTime time;
  if (text.size() >= 14 && fileutil::ParseMdtm(text, &time)) {
    // A stamp of digits (the session's check) formats back to itself.
    const std::string_view stamp = text.substr(0, 14);
    const bool digits = stamp.find_first_not_of("0123456789") == std::string_view::npos;
    if (digits) Check(fileutil::FormatMdtm(time, false) == stamp);
  }
  return 0;
}
