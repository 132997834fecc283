// Release versions and the release mark a program file carries.
//
// A version text is one to three numbers of up to nine digits with a dot
// between each two ("1.03", "1.10", "2.0.1"); versions compare field by
// field, a missing field counting as 0, so "1.10" is newer than "1.9" and
// "1.03" equals "1.3".
//
// A program file names its own release inside its bytes: the release mark is
// kReleaseMarkStart, the version text and kReleaseMarkEnd. A release is
// signed over the whole file, mark included, so once the signature of a
// downloaded file verifies, its mark says which release the file really is,
// whatever the update server's version file claims: an older signed file
// cannot pass for a newer one.
//
// Thread-safety: free functions and constant values, safe from any thread.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::update {

struct ReleaseVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t third = 0;
  auto operator<=>(const ReleaseVersion&) const = default;
};

inline constexpr std::string_view kReleaseMarkStart = "\x01quillon-release-version=";
inline constexpr char kReleaseMarkEnd = '\x01';
// The longest version text: three fields of nine digits and two dots.
inline constexpr std::size_t kVersionTextCapacity = 29;

// The version `text` names; nothing when it is not exactly a version text
// (no blanks, signs or line ends around it).
std::optional<ReleaseVersion> ParseReleaseVersion(std::string_view text);

// The version text of the release marks in `program`. True with
// *version_text set when at least one mark is there and every mark names the
// same version; false with *error saying why otherwise. A mark start that is
// not followed by a version text and kReleaseMarkEnd is not a mark (an
// updater's own file holds kReleaseMarkStart alone, to search with).
[[nodiscard]] bool FindReleaseMark(std::string_view program, std::string* version_text,
                                   std::string* error);

// The release mark of a version text, built while compiling, so that a
// program can keep its own mark as bytes of its file:
//   [[gnu::used]] constexpr ReleaseMark kMark("1.03");
// REQUIRES: `version` is a version text (checked while compiling).
template <std::size_t N>
struct ReleaseMark {
  consteval explicit ReleaseMark(const char (&version)[N]) {
    std::size_t at = 0;
    for (char ch : kReleaseMarkStart) text[at++] = ch;
    for (std::size_t i = 0; i + 1 < N; ++i) {
      // Not a version text character: the throw stops the compile.
      if ((version[i] < '0' || version[i] > '9') && version[i] != '.')
        throw "a release mark holds a version text";
      text[at++] = version[i];
    }
    text[at] = kReleaseMarkEnd;
  }
  std::string_view View() const { return {text, sizeof text}; }

  char text[kReleaseMarkStart.size() + N] = {};
};

}  // namespace quillon::update
