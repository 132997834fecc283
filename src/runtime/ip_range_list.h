// IPv4 and IPv6 addresses and inclusive address ranges, in the order they
// were added, without duplicates.
//
// Stored forms: the IPv4 ranges as 8 bytes each (the first address, then
// the last, each as its four dotted numbers in order), as the settings and
// account files hold them; the others as entry texts (Ipv6EntryTexts),
// which those files' companions hold. A range counts as IPv4 when both its
// ends are IPv4 addresses.
//
// Thread-safety: none of its own; owners guard it (settings lock, record
// locks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/ip_address.h"

namespace quillon::runtime {

struct IpRange {
  IpAddress first{};
  IpAddress last{};
  bool IsIpv4() const { return first.IsIpv4() && last.IsIpv4(); }
  bool operator==(const IpRange&) const = default;
};

class IpRangeList {
 public:
  static constexpr std::size_t kBytesPerRange = 8;
  // The whole IPv4 space, as "Block All" has always stored it. A list that
  // holds it holds every IPv6 address too, so a server that blocked every
  // address before it spoke IPv6 still does.
  static constexpr IpRange kWholeIpv4{IpAddress(0, 0, 0, 0), IpAddress(255, 255, 255, 255)};

  // False when first is above last; true without change when the range is
  // already present.
  bool AddRange(const IpAddress& first, const IpAddress& last);
  bool AddAddress(const IpAddress& address) { return AddRange(address, address); }
  // True for an address inside a range, and for any IPv6 address when the
  // list holds kWholeIpv4.
  bool Contains(const IpAddress& address) const;

  std::size_t Count() const { return ranges_.size(); }
  const IpRange& At(std::size_t index) const { return ranges_[index]; }
  void RemoveAt(std::size_t index);
  void Clear() { ranges_.clear(); }

  // "10.0.0.1" for a single address, "10.0.0.1-10.0.0.255" for an IPv4
  // range; "2001:db8::1", "2001:db8::/48" for an IPv6 range that is a whole
  // prefix, else "2001:db8::1-2001:db8::9".
  std::string EntryText(std::size_t index) const;
  // Removes the first entry whose EntryText equals `text` exactly.
  void RemoveText(std::string_view text);
  // Reads an entry text: one address of either family, "first-last" of one
  // family, or a prefix "address/bits" (bits 0-32 for IPv4, 0-128 for IPv6).
  static std::optional<IpRange> ParseEntry(std::string_view text);

  // The IPv4 ranges in their stored form; the IPv6 ones are left out.
  std::string Serialise() const;
  // Replaces the list by the IPv4 ranges in `bytes`; a trailing partial
  // range is ignored, and nothing beyond `length` is read.
  void LoadBytes(const void* bytes, std::size_t length);
  // The entry texts of the ranges Serialise leaves out, in list order.
  std::vector<std::string> Ipv6EntryTexts() const;

  // Appends every range of `other` not already present.
  void Union(const IpRangeList& other);
  // Keeps exactly the addresses that both lists cover.
  void Intersect(const IpRangeList& other);

  // Four dot-separated decimal numbers 0-255 (and nothing else), so that
  // ParseAddress reads every valid text correctly.
  static bool IsValidAddress(std::string_view text);
  // Reads "%u.%u.%u.%u". REQUIRES: IsValidAddress(text).
  static IpAddress ParseAddress(std::string_view text);
  // The standard text of either family.
  static std::string AddressText(const IpAddress& address) { return address.Text(); }

  bool operator==(const IpRangeList&) const = default;

 private:
  std::vector<IpRange> ranges_;
};

}  // namespace quillon::runtime
