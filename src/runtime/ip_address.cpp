#include "runtime/ip_address.h"

#include "platform/net.h"

namespace quillon::runtime {

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
  Bytes bytes;
  if (!platform::ParseAddress(text, &bytes)) return std::nullopt;
  return FromBytes(bytes);
}

bool IpAddress::IsIpv4() const { return *this >= IpAddress(0, 0, 0, 0) && *this <= IpAddress(255, 255, 255, 255); }

std::string IpAddress::Text() const { return platform::AddressText(bytes_); }

IpAddress IpAddress::LimitKey() const { return IsIpv4() ? *this : PrefixStart(64); }

std::string IpAddress::LimitKeyText() const { return IsIpv4() ? Text() : PrefixStart(64).Text() + "/64"; }

IpAddress IpAddress::PrefixStart(unsigned prefix_bits) const {
  IpAddress result = *this;
  for (unsigned bit = prefix_bits; bit < 128; ++bit)
    result.bytes_[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
  return result;
}

IpAddress IpAddress::PrefixEnd(unsigned prefix_bits) const {
  IpAddress result = *this;
  for (unsigned bit = prefix_bits; bit < 128; ++bit)
    result.bytes_[bit / 8] |= static_cast<std::uint8_t>(0x80u >> (bit % 8));
  return result;
}

IpAddress IpAddress::Next() const {
  IpAddress result = *this;
  for (int i = 15; i >= 0; --i)
    if (++result.bytes_[static_cast<std::size_t>(i)] != 0) break;
  return result;
}

IpAddress IpAddress::Previous() const {
  IpAddress result = *this;
  for (int i = 15; i >= 0; --i)
    if (result.bytes_[static_cast<std::size_t>(i)]-- != 0) break;
  return result;
}

}  // namespace quillon::runtime
