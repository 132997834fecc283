// The list of banned file extensions: ordered, without a dot, unique when
// compared without regard to A-Z case.
//
// Thread-safety: none of its own; the settings lock guards the server's list.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillon::fileutil {

class BannedTypes {
 public:
  // Items longer than this are skipped.
  static constexpr std::size_t kMaxItemLength = 100;

  // Replaces the list by the comma-separated items of `text`: empty and
  // overlong items are skipped, nothing is trimmed, and an item already
  // present (any case) is not added again.
  void Parse(std::string_view text);
  // Adds the items of `text` to the list under the same rules.
  void Add(std::string_view text);
  // Case-insensitive.
  bool Contains(std::string_view extension) const;
  // The items joined with ",".
  std::string Joined() const;
  const std::vector<std::string>& Items() const { return items_; }
  void Clear() { items_.clear(); }

 private:
  std::vector<std::string> items_;
};

}  // namespace quillon::fileutil
