#include "ftp/passive_config.h"

#include <array>

#include "platform/net.h"
#include "fileutil/text.h"

namespace quillon::ftp {

namespace {
using Guard = runtime::CriticalSection::Guard;
}  // namespace

void PassiveConfig::Configure(std::uint16_t first_port, std::uint16_t last_port, const std::string& address) {
  {
    Guard guard(lock_);
    first_ = first_port;
    last_ = last_port;
    if (host_ == address) return;
    host_ = address;
    resolved_.clear();
  }
  if (!address.empty()) Resolve(address);
}

void PassiveConfig::SetListenersPerAddress(std::uint32_t share) {
  Guard guard(lock_);
  listeners_per_address_ = share;
}

bool PassiveConfig::TryAddListener(const std::string& peer) {
  Guard guard(lock_);
  std::uint32_t& count = listeners_[peer];
  if (listeners_per_address_ != 0 && count >= listeners_per_address_) {
    if (count == 0) listeners_.erase(peer);
    return false;
  }
  ++count;
  return true;
}

void PassiveConfig::RemoveListener(const std::string& peer) {
  Guard guard(lock_);
  const auto found = listeners_.find(peer);
  if (found == listeners_.end()) return;
  if (--found->second == 0) listeners_.erase(found);
}

std::uint32_t PassiveConfig::ListenerCount() const {
  Guard guard(lock_);
  std::uint32_t total = 0;
  for (const auto& [peer, count] : listeners_) total += count;
  return total;
}

std::uint16_t PassiveConfig::FirstPort() const {
  Guard guard(lock_);
  return first_;
}

std::uint16_t PassiveConfig::LastPort() const {
  Guard guard(lock_);
  return last_;
}

void PassiveConfig::Resolve(const std::string& host) {
  // The lookup may be slow: it runs without the lock, one at a time.
  {
    Guard guard(lock_);
    if (resolving_) return;
    resolving_ = true;
  }
  platform::Endpoint found;
  const bool ok = platform::ResolveIPv4(host.c_str(), &found);
  Guard guard(lock_);
  resolving_ = false;
  resolved_tick_ = clock_.TickMs();
  if (ok && host == host_)
    resolved_ = platform::AddressText(found.address);
}

std::string PassiveConfig::AddressFor(const runtime::IpAddress& peer) {
  if (IsPrivate(peer)) return {};
  std::string host;
  {
    Guard guard(lock_);
    if (host_.empty()) return {};
    if (clock_.TickMs() - resolved_tick_ < kRefreshMs) return resolved_;
    host = host_;
  }
  Resolve(host);
  Guard guard(lock_);
  return resolved_;
}

std::string PassiveConfig::Describe() const {
  Guard guard(lock_);
  if (host_.empty() && first_ == 0) return {};
  const std::string address = host_.empty() ? "the control connection's" : host_ + " (" + (resolved_.empty() ? "unresolved" : resolved_) + ")";
  const std::string ports = first_ == 0 ? "any" : fileutil::FormatText("%u-%u", first_, last_);
  return fileutil::FormatText("Passive Mode: Address=[%s], Ports=[%s]", address.c_str(), ports.c_str());
}

bool PassiveConfig::IsPrivate(const runtime::IpAddress& address) {
  if (!address.IsIpv4()) {
    // Loopback, link-local fe80::/10 and unique local fc00::/7.
    const runtime::IpAddress::Bytes& b = address.ToBytes();
    return address == runtime::IpAddress::Parse("::1") || (b[0] == 0xfe && (b[1] & 0xC0) == 0x80) ||
           (b[0] & 0xFE) == 0xfc;
  }
  const std::array<std::uint8_t, 4> a = address.Ipv4();
  return a[0] == 10 || a[0] == 127 || (a[0] == 172 && (a[1] & 0xF0) == 16) || (a[0] == 192 && a[1] == 168) ||
         (a[0] == 169 && a[1] == 254) || (a[0] == 100 && (a[1] & 0xC0) == 64);
}

}  // namespace quillon::ftp
