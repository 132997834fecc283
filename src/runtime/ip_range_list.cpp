#include "runtime/ip_range_list.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quillon::runtime {

namespace {

std::uint32_t ToNumber(const IpAddress& a) {
  return (static_cast<std::uint32_t>(a[0]) << 24) | (static_cast<std::uint32_t>(a[1]) << 16) |
         (static_cast<std::uint32_t>(a[2]) << 8) | a[3];
}

IpAddress FromNumber(std::uint32_t n) {
  return IpAddress{static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                   static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

// Reads one decimal number of 1-3 digits at the front of `text`.
bool TakeOctet(std::string_view* text, unsigned* value) {
  std::size_t digits = 0;
  *value = 0;
  while (digits < text->size() && (*text)[digits] >= '0' && (*text)[digits] <= '9') {
    if (++digits > 3) return false;
    *value = *value * 10 + static_cast<unsigned>((*text)[digits - 1] - '0');
  }
  text->remove_prefix(digits);
  return digits > 0 && *value <= 255;
}

}  // namespace

bool IpRangeList::AddRange(const IpAddress& first, const IpAddress& last) {
  if (ToNumber(first) > ToNumber(last)) return false;
  const IpRange range{first, last};
  if (std::find(ranges_.begin(), ranges_.end(), range) == ranges_.end()) ranges_.push_back(range);
  return true;
}

bool IpRangeList::Contains(const IpAddress& address) const {
  const std::uint32_t n = ToNumber(address);
  for (const IpRange& range : ranges_)
    if (ToNumber(range.first) <= n && n <= ToNumber(range.last)) return true;
  return false;
}

void IpRangeList::RemoveAt(std::size_t index) {
  if (index < ranges_.size()) ranges_.erase(ranges_.begin() + static_cast<std::ptrdiff_t>(index));
}

std::string IpRangeList::EntryText(std::size_t index) const {
  if (index >= ranges_.size()) return {};
  const IpRange& range = ranges_[index];
  if (range.first == range.last) return AddressText(range.first);
  return AddressText(range.first) + "-" + AddressText(range.last);
}

void IpRangeList::RemoveText(std::string_view text) {
  for (std::size_t i = 0; i < ranges_.size(); ++i) {
    if (EntryText(i) == text) {
      RemoveAt(i);
      return;
    }
  }
}

std::string IpRangeList::Serialise() const {
  std::string bytes;
  bytes.reserve(ranges_.size() * kBytesPerRange);
  for (const IpRange& range : ranges_) {
    bytes.append(reinterpret_cast<const char*>(range.first.data()), 4);
    bytes.append(reinterpret_cast<const char*>(range.last.data()), 4);
  }
  return bytes;
}

void IpRangeList::LoadBytes(const void* bytes, std::size_t length) {
  ranges_.clear();
  const auto* data = static_cast<const std::uint8_t*>(bytes);
  for (std::size_t at = 0; at + kBytesPerRange <= length; at += kBytesPerRange) {
    IpRange range;
    std::memcpy(range.first.data(), data + at, 4);
    std::memcpy(range.last.data(), data + at + 4, 4);
    ranges_.push_back(range);
  }
}

void IpRangeList::Union(const IpRangeList& other) {
  for (const IpRange& range : other.ranges_) AddRange(range.first, range.last);
}

void IpRangeList::Intersect(const IpRangeList& other) {
  // Cut points of both lists (a range [f, l] cuts before f and after l), so
  // every piece lies wholly inside or wholly outside every range of either
  // list, even where a list's own ranges overlap.
  std::vector<std::uint64_t> cuts;
  const IpRangeList* lists[] = {this, &other};
  for (const IpRangeList* list : lists) {
    for (const IpRange& range : list->ranges_) {
      cuts.push_back(ToNumber(range.first));
      cuts.push_back(static_cast<std::uint64_t>(ToNumber(range.last)) + 1);
    }
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

  IpRangeList result;
  for (const IpRange& range : ranges_) {
    std::uint64_t start = ToNumber(range.first);
    const std::uint64_t end = static_cast<std::uint64_t>(ToNumber(range.last)) + 1;
    auto cut = std::upper_bound(cuts.begin(), cuts.end(), start);
    while (start < end) {
      const std::uint64_t stop = (cut != cuts.end() && *cut < end) ? *cut++ : end;
      const IpAddress first = FromNumber(static_cast<std::uint32_t>(start));
      // A piece lies inside a range of `other` exactly when its first address does.
      if (other.Contains(first)) result.AddRange(first, FromNumber(static_cast<std::uint32_t>(stop - 1)));
      start = stop;
    }
  }
  ranges_ = std::move(result.ranges_);
}

bool IpRangeList::IsValidAddress(std::string_view text) {
  for (int i = 0; i < 4; ++i) {
    unsigned value = 0;
    if (!TakeOctet(&text, &value)) return false;
    if (i < 3) {
      if (text.empty() || text.front() != '.') return false;
      text.remove_prefix(1);
    }
  }
  return text.empty();
}

IpAddress IpRangeList::ParseAddress(std::string_view text) {
  // A text that is no address reads as far as its numbers go; the rest is 0.
  IpAddress address{0, 0, 0, 0};
  for (std::uint8_t& octet : address) {
    unsigned value = 0;
    if (!TakeOctet(&text, &value)) break;
    octet = static_cast<std::uint8_t>(value);
    if (text.empty() || text.front() != '.') break;
    text.remove_prefix(1);
  }
  return address;
}

std::string IpRangeList::AddressText(const IpAddress& a) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
  return text;
}

}  // namespace quillon::runtime
