#include "runtime/proxy_header.h"

#include <algorithm>
#include <array>
#include <optional>

namespace quillon::runtime {

namespace {

constexpr std::string_view kV1Start = "PROXY ";
constexpr std::string_view kV2Signature("\r\n\r\n\0\r\nQUIT\n", 12);

// Whether `bytes` could still grow into `prefix` (or already starts with it).
bool MayStartWith(std::string_view bytes, std::string_view prefix) {
  const std::size_t common = std::min(bytes.size(), prefix.size());
  return bytes.substr(0, common) == prefix.substr(0, common);
}

// A port: 1 to 5 digits, no leading zero, at most 65535.
std::optional<std::uint16_t> ReadPort(std::string_view text) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  std::uint32_t value = 0;
  for (const char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(ch - '0');
  }
  if (value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// The next field of a line of fields separated by single spaces.
std::string_view NextField(std::string_view* rest) {
  const std::size_t space = rest->find(' ');
  const std::string_view field = rest->substr(0, space);
  rest->remove_prefix(space == std::string_view::npos ? rest->size() : space + 1);
  return field;
}

ProxyHeader::Result ParseLine(std::string_view bytes, ProxyHeader* header) {
  const std::size_t end = bytes.substr(0, ProxyHeader::kMaxLine).find("\r\n");
  if (end == std::string_view::npos)
    return bytes.size() < ProxyHeader::kMaxLine && bytes.find('\n') == std::string_view::npos
               ? ProxyHeader::Result::kIncomplete
               : ProxyHeader::Result::kInvalid;
  std::string_view rest = bytes.substr(kV1Start.size(), end - kV1Start.size());
  const std::string_view family = NextField(&rest);
  header->length = end + 2;
  if (family == "UNKNOWN") {
    header->has_client = false;  // whatever follows is ignored
    return ProxyHeader::Result::kDone;
  }
  if (family != "TCP4" && family != "TCP6") return ProxyHeader::Result::kInvalid;
  const std::string_view source = NextField(&rest);
  const std::string_view destination = NextField(&rest);
  const std::string_view source_port = NextField(&rest);
  const std::string_view destination_port = rest;
  const std::optional<IpAddress> client = IpAddress::Parse(source);
  const std::optional<IpAddress> server = IpAddress::Parse(destination);
  const std::optional<std::uint16_t> port = ReadPort(source_port);
  const bool ipv4 = family == "TCP4";
  // Both addresses of the family named, a dotted IPv4 one never in IPv6 text.
  const auto fits = [ipv4](const std::optional<IpAddress>& address, std::string_view text) {
    return address && address->IsIpv4() == ipv4 && (text.find(':') == std::string_view::npos) == ipv4;
  };
  if (!fits(client, source) || !fits(server, destination) || !port || !ReadPort(destination_port))
    return ProxyHeader::Result::kInvalid;
  header->has_client = true;
  header->client = *client;
  header->client_port = *port;
  return ProxyHeader::Result::kDone;
}

ProxyHeader::Result ParseBinary(std::string_view bytes, ProxyHeader* header) {
  if (bytes.size() < 16) return ProxyHeader::Result::kIncomplete;
  const auto byte = [bytes](std::size_t at) { return static_cast<std::uint8_t>(bytes[at]); };
  const std::uint8_t version = byte(12) >> 4;
  const std::uint8_t command = byte(12) & 0x0f;
  const std::size_t block = (std::size_t{byte(14)} << 8) | byte(15);
  if (version != 2 || command > 1 || block > ProxyHeader::kMaxBlock) return ProxyHeader::Result::kInvalid;
  if (bytes.size() < 16 + block) return ProxyHeader::Result::kIncomplete;
  header->length = 16 + block;
  header->has_client = false;
  if (command == 0) return ProxyHeader::Result::kDone;  // LOCAL: the balancer's own connection
  const std::uint8_t family = byte(13);
  const std::size_t address_bytes = family == 0x11 ? 4 : family == 0x21 ? 16 : 0;
  if (address_bytes == 0) return ProxyHeader::Result::kDone;  // UDP, UNIX or unspecified: no client to take
  if (block < 2 * address_bytes + 4) return ProxyHeader::Result::kInvalid;
  IpAddress::Bytes client{};
  if (address_bytes == 4) {
    client = IpAddress(byte(16), byte(17), byte(18), byte(19)).ToBytes();
  } else {
    for (std::size_t i = 0; i < 16; ++i) client[i] = byte(16 + i);
  }
  const std::size_t ports = 16 + 2 * address_bytes;
  header->has_client = true;
  header->client = IpAddress::FromBytes(client);
  header->client_port = static_cast<std::uint16_t>((byte(ports) << 8) | byte(ports + 1));
  return ProxyHeader::Result::kDone;
}

}  // namespace

ProxyHeader::Result ProxyHeader::Parse(std::string_view bytes, ProxyHeader* header) {
  *header = ProxyHeader{};
  if (bytes.empty()) return Result::kIncomplete;
  if (bytes.size() >= kV2Signature.size() && bytes.substr(0, kV2Signature.size()) == kV2Signature)
    return ParseBinary(bytes, header);
  if (bytes.size() >= kV1Start.size() && bytes.substr(0, kV1Start.size()) == kV1Start)
    return ParseLine(bytes, header);
  return MayStartWith(bytes, kV2Signature) || MayStartWith(bytes, kV1Start) ? Result::kIncomplete
                                                                             : Result::kInvalid;
}

}  // namespace quillon::runtime
