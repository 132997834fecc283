#include "update/release_version.h"

namespace quillon::update {

namespace {

constexpr std::size_t kMaxFieldDigits = 9;

}  // namespace

std::optional<ReleaseVersion> ParseReleaseVersion(std::string_view text) {
  ReleaseVersion version;
  std::uint32_t* fields[] = {&version.major, &version.minor, &version.third};
  std::size_t at = 0;
  for (std::uint32_t* field : fields) {
    const std::size_t digits = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      if (at - digits == kMaxFieldDigits) return std::nullopt;
      *field = *field * 10 + static_cast<std::uint32_t>(text[at++] - '0');
    }
    if (at == digits) return std::nullopt;
    if (at == text.size()) return version;
    if (text[at++] != '.') return std::nullopt;
  }
  return std::nullopt;  // a fourth field, or a dot at the end
}

bool FindReleaseMark(std::string_view program, std::string* version_text, std::string* error) {
  version_text->clear();
  for (std::size_t at = program.find(kReleaseMarkStart); at != std::string_view::npos;
       at = program.find(kReleaseMarkStart, at + 1)) {
    const std::string_view rest =
        program.substr(at + kReleaseMarkStart.size(), kVersionTextCapacity + 1);
    const std::size_t end = rest.find(kReleaseMarkEnd);
    if (end == std::string_view::npos) continue;
    const std::string_view text = rest.substr(0, end);
    if (!ParseReleaseVersion(text)) continue;
    if (version_text->empty()) {
      *version_text = std::string(text);
    } else if (*ParseReleaseVersion(*version_text) != *ParseReleaseVersion(text)) {
      *error = "the program file names more than one release version";
      return false;
    }
  }
  if (!version_text->empty()) return true;
  *error = "the program file names no release version";
  return false;
}

}  // namespace quillon::update
