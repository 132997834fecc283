#include "runtime/ip_range_list.h"

#include <algorithm>

namespace quillon::runtime {

namespace {

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

// An IPv4 address as the lists have always read it (IsValidAddress), or an
// IPv6 address text.
std::optional<IpAddress> ParseEither(std::string_view text) {
  if (IpRangeList::IsValidAddress(text)) return IpRangeList::ParseAddress(text);
  if (text.find(':') == std::string_view::npos) return std::nullopt;
  return IpAddress::Parse(text);
}

}  // namespace

bool IpRangeList::AddRange(const IpAddress& first, const IpAddress& last) {
  if (last < first) return false;
  const IpRange range{first, last};
  if (std::find(ranges_.begin(), ranges_.end(), range) == ranges_.end()) ranges_.push_back(range);
  return true;
}

bool IpRangeList::Contains(const IpAddress& address) const {
  for (const IpRange& range : ranges_) {
    if (range.first <= address && address <= range.last) return true;
    if (range == kWholeIpv4 && !address.IsIpv4()) return true;
  }
  return false;
}

void IpRangeList::RemoveAt(std::size_t index) {
  if (index < ranges_.size()) ranges_.erase(ranges_.begin() + static_cast<std::ptrdiff_t>(index));
}

namespace {

// The prefix length whose block is exactly `range`, if there is one.
std::optional<unsigned> PrefixOf(const IpRange& range) {
  for (unsigned bits = 0; bits <= 128; ++bits)
    if (range.first.PrefixStart(bits) == range.first && range.first.PrefixEnd(bits) == range.last)
      return bits;
  return std::nullopt;
}

}  // namespace

std::string IpRangeList::EntryText(std::size_t index) const {
  if (index >= ranges_.size()) return {};
  const IpRange& range = ranges_[index];
  if (range.first == range.last) return AddressText(range.first);
  if (!range.IsIpv4()) {
    if (const std::optional<unsigned> bits = PrefixOf(range))
      return AddressText(range.first) + "/" + std::to_string(*bits);
  }
  return AddressText(range.first) + "-" + AddressText(range.last);
}

std::optional<IpRange> IpRangeList::ParseEntry(std::string_view text) {
  if (const std::size_t slash = text.find('/'); slash != std::string_view::npos) {
    const std::optional<IpAddress> address = ParseEither(text.substr(0, slash));
    const std::string_view digits = text.substr(slash + 1);
    if (!address || digits.empty() || digits.size() > 3) return std::nullopt;
    unsigned bits = 0;
    for (char ch : digits) {
      if (ch < '0' || ch > '9') return std::nullopt;
      bits = bits * 10 + static_cast<unsigned>(ch - '0');
    }
    // A dotted prefix counts its bits in the IPv4 address; one written in
    // IPv6 form (::ffff:10.0.0.0/104 included) in all 128.
    const unsigned offset = text.substr(0, slash).find(':') == std::string_view::npos ? 96 : 0;
    if (bits > 128 - offset) return std::nullopt;
    return IpRange{address->PrefixStart(bits + offset), address->PrefixEnd(bits + offset)};
  }
  if (const std::size_t dash = text.find('-'); dash != std::string_view::npos) {
    const std::optional<IpAddress> first = ParseEither(text.substr(0, dash));
    const std::optional<IpAddress> last = ParseEither(text.substr(dash + 1));
    if (!first || !last || first->IsIpv4() != last->IsIpv4() || *last < *first) return std::nullopt;
    return IpRange{*first, *last};
  }
  const std::optional<IpAddress> address = ParseEither(text);
  if (!address) return std::nullopt;
  return IpRange{*address, *address};
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
    if (!range.IsIpv4()) continue;
    for (const IpAddress& end : {range.first, range.last}) {
      const std::array<std::uint8_t, 4> octets = end.Ipv4();
      bytes.append(reinterpret_cast<const char*>(octets.data()), octets.size());
    }
  }
  return bytes;
}

void IpRangeList::LoadBytes(const void* bytes, std::size_t length) {
  ranges_.clear();
  const auto* data = static_cast<const std::uint8_t*>(bytes);
  for (std::size_t at = 0; at + kBytesPerRange <= length; at += kBytesPerRange) {
    const std::uint8_t* d = data + at;
    ranges_.push_back(IpRange{IpAddress(d[0], d[1], d[2], d[3]), IpAddress(d[4], d[5], d[6], d[7])});
  }
}

std::vector<std::string> IpRangeList::Ipv6EntryTexts() const {
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < ranges_.size(); ++i)
    if (!ranges_[i].IsIpv4()) texts.push_back(EntryText(i));
  return texts;
}

void IpRangeList::Union(const IpRangeList& other) {
  for (const IpRange& range : other.ranges_) AddRange(range.first, range.last);
}

void IpRangeList::Intersect(const IpRangeList& other) {
  // Cut points of both lists (a range [f, l] cuts before f and after l), so
  // every piece lies wholly inside or wholly outside every range of either
  // list, even where a list's own ranges overlap. The cut after the very
  // last address lies past the end of the address space.
  struct Cut {
    bool past_end;
    IpAddress at;
    auto operator<=>(const Cut&) const = default;
  };
  auto after = [](const IpAddress& last) { return Cut{last.Next() == IpAddress::FromBytes({}), last.Next()}; };
  // A list that holds the whole IPv4 space holds every IPv6 address too.
  const IpRange every{IpAddress::FromBytes({}), IpAddress::FromBytes({}).Previous()};
  auto ranges_of = [&](const IpRangeList& list) {
    std::vector<IpRange> ranges = list.ranges_;
    if (std::find(ranges.begin(), ranges.end(), kWholeIpv4) != ranges.end()) ranges.push_back(every);
    return ranges;
  };
  const std::vector<IpRange> mine = ranges_of(*this);
  std::vector<Cut> cuts;
  for (const std::vector<IpRange>& ranges : {mine, ranges_of(other)}) {
    for (const IpRange& range : ranges) {
      cuts.push_back(Cut{false, range.first});
      cuts.push_back(after(range.last));
    }
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

  IpRangeList result;
  for (const IpRange& range : mine) {
    Cut start{false, range.first};
    const Cut end = after(range.last);
    auto cut = std::upper_bound(cuts.begin(), cuts.end(), start);
    while (start < end) {
      const Cut stop = (cut != cuts.end() && *cut < end) ? *cut++ : end;
      // A piece lies inside a range of `other` exactly when its first address does.
      if (other.Contains(start.at)) result.AddRange(start.at, stop.at.Previous());
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
  std::array<std::uint8_t, 4> octets{0, 0, 0, 0};
  for (std::uint8_t& octet : octets) {
    unsigned value = 0;
    if (!TakeOctet(&text, &value)) break;
    octet = static_cast<std::uint8_t>(value);
    if (text.empty() || text.front() != '.') break;
    text.remove_prefix(1);
  }
  return IpAddress(octets[0], octets[1], octets[2], octets[3]);
}

}  // namespace quillon::runtime
