// IPv4 addresses and inclusive address ranges, in the order they were added,
// without duplicates. Stored as 8 bytes per range: the first address, then
// the last, each as its four dotted numbers in order.
//
// Thread-safety: none of its own; owners guard it (settings lock, record
// locks).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::runtime {

// The four numbers of a dotted address, first number first.
using IpAddress = std::array<std::uint8_t, 4>;

struct IpRange {
  IpAddress first{};
  IpAddress last{};
  bool operator==(const IpRange&) const = default;
};

class IpRangeList {
 public:
  static constexpr std::size_t kBytesPerRange = 8;

  // False when first is above last; true without change when the range is
  // already present.
  bool AddRange(const IpAddress& first, const IpAddress& last);
  bool AddAddress(const IpAddress& address) { return AddRange(address, address); }
  bool Contains(const IpAddress& address) const;

  std::size_t Count() const { return ranges_.size(); }
  const IpRange& At(std::size_t index) const { return ranges_[index]; }
  void RemoveAt(std::size_t index);
  void Clear() { ranges_.clear(); }

  // "10.0.0.1" for a single address, "10.0.0.1-10.0.0.255" for a range.
  std::string EntryText(std::size_t index) const;
  // Removes the first entry whose EntryText equals `text` exactly.
  void RemoveText(std::string_view text);

  std::string Serialise() const;
  // Replaces the list by the ranges in `bytes`; a trailing partial range is
  // ignored, and nothing beyond `length` is read.
  void LoadBytes(const void* bytes, std::size_t length);

  // Appends every range of `other` not already present.
  void Union(const IpRangeList& other);
  // Keeps exactly the addresses that both lists cover.
  void Intersect(const IpRangeList& other);

  // Four dot-separated decimal numbers 0-255 (and nothing else), so that
  // ParseAddress reads every valid text correctly.
  static bool IsValidAddress(std::string_view text);
  // Reads "%u.%u.%u.%u". REQUIRES: IsValidAddress(text).
  static IpAddress ParseAddress(std::string_view text);
  static std::string AddressText(const IpAddress& address);

  bool operator==(const IpRangeList&) const = default;

 private:
  std::vector<IpRange> ranges_;
};

}  // namespace quillon::runtime
