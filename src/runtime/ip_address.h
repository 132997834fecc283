// One client or list address, IPv4 or IPv6, as 16 bytes: an IPv4 address
// is held in its IPv6-mapped form (::ffff:a.b.c.d), so both families order
// and compare in one space and an IPv4 client reaching an IPv6 socket is
// the same address as one reaching an IPv4 socket.
//
// Thread-safety: a value type.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::runtime {

class IpAddress {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  // 0.0.0.0.
  constexpr IpAddress() : IpAddress(0, 0, 0, 0) {}
  // The IPv4 address a.b.c.d.
  constexpr IpAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
      : bytes_{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, a, b, c, d} {}
  // Any address from its 16 bytes (a mapped one is the IPv4 address).
  static constexpr IpAddress FromBytes(const Bytes& bytes) {
    IpAddress address;
    address.bytes_ = bytes;
    return address;
  }
  // A dotted IPv4 address or an IPv6 text; nothing for anything else.
  static std::optional<IpAddress> Parse(std::string_view text);

  const Bytes& ToBytes() const { return bytes_; }
  bool IsIpv4() const;
  // The four numbers of an IPv4 address, first first. REQUIRES: IsIpv4().
  std::array<std::uint8_t, 4> Ipv4() const { return {bytes_[12], bytes_[13], bytes_[14], bytes_[15]}; }
  // The standard text: dotted for IPv4, RFC 5952 for IPv6.
  std::string Text() const;

  // What limits and anti-hammering count a client by: an IPv4 address
  // itself, an IPv6 address's /64, as one IPv6 subscriber is usually handed
  // a whole /64 and would otherwise have endless addresses to try from.
  IpAddress LimitKey() const;
  // The text of LimitKey: "10.0.0.1", or "2001:db8:1:2::/64".
  std::string LimitKeyText() const;

  // The address with every bit after the first `prefix_bits` cleared (to
  // 0) or set (to 1): the first and last addresses of its prefix.
  IpAddress PrefixStart(unsigned prefix_bits) const;
  IpAddress PrefixEnd(unsigned prefix_bits) const;

  // The next and previous address; the last wraps to the first and back.
  IpAddress Next() const;
  IpAddress Previous() const;

  auto operator<=>(const IpAddress&) const = default;
  bool operator==(const IpAddress&) const = default;

 private:
  Bytes bytes_;
};

}  // namespace quillon::runtime
