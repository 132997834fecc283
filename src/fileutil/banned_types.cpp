#include "fileutil/banned_types.h"

#include "fileutil/text.h"

namespace quillon::fileutil {

void BannedTypes::Parse(std::string_view text) {
  items_.clear();
  Add(text);
}

void BannedTypes::Add(std::string_view text) {
  for (;;) {
    const std::size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    if (!item.empty() && item.size() <= kMaxItemLength && !Contains(item))
      items_.emplace_back(item);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
}

bool BannedTypes::Contains(std::string_view extension) const {
  for (const std::string& item : items_)
    if (EqualNoCase(item, extension)) return true;
  return false;
}

std::string BannedTypes::Joined() const {
  std::string joined;
  for (const std::string& item : items_) {
    if (!joined.empty()) joined.push_back(',');
    joined.append(item);
  }
  return joined;
}

}  // namespace quillon::fileutil
