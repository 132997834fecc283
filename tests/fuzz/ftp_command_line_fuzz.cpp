// A control line as a client sends it, through everything that happens
// before a handler runs: telnet bytes, aliases, the command word, and the
// path its argument names.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/command_line.h"
#include "ftp/command_table.h"
#include "fuzz/fuzz_support.h"
#include "fileutil/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon;
  using fuzz::Check;
  // The line buffer holds 2047 characters; a NUL ends the line early.
  std::string_view line(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 2047));
  line = line.substr(0, line.find('\0'));
  line = ftp::StripTelnet(line);
  const std::optional<ftp::FoundCommand> found = ftp::FindCommand(line, ftp::kLoggedIn, true);
  if (!found) return 0;
  const std::span<const ftp::Command> table = ftp::CommandTable();
  Check(found->command >= table.data() && found->command < table.data() + table.size());
  const ftp::CommandLine* command = &found->parsed;
  // A listing's path is what is left of its argument after the options.
  Check(command->argument.ends_with(ftp::ListingPath(command->argument)));
  for (std::string_view current : {"/", "/sub/folder"}) {
    std::string path;
    if (!fileutil::BuildFtpPath(current, command->argument, &path)) continue;
    // What comes out is an absolute, clean path that fits its field.
    Check(!path.empty() && path.front() == '/');
    Check(path.size() < fileutil::kDiskPathCapacity);
    Check(path.find("//") == std::string::npos);
    // No "." or ".." step is left, and every name fits the system.
    for (std::size_t start = 1; start <= path.size();) {
      const std::size_t end = std::min(path.find('/', start), path.size());
      const std::string_view name = std::string_view(path).substr(start, end - start);
      Check(name != "." && name != "..");
      Check(name.size() <= fileutil::kMaxNameLength);
      start = end + 1;
    }
    for (char ch : path) Check(static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7F);
    std::string again;
    Check(fileutil::BuildFtpPath("/", path, &again) && again == path);  // normalising is idempotent
  }
  return 0;
}
