#include "ftp/data_connection.h"

#include <numeric>

#include "ftp/command_line.h"
#include "ftp/replies.h"
#include "fileutil/text.h"

namespace quillon::ftp {

std::string DataConnection::Port(std::string_view argument, bool allow_site_to_site) {
  if (epsv_all_) return replies::kEpsvAllInForce;
  if (ControlIsIpv6()) return replies::kPortOnIpv6;
  std::string address;
  std::uint32_t port = 0;
  switch (ParsePortArgument(argument, &address, &port)) {
    case PortArgument::kTooFewNumbers: return replies::kPortParameters;
    case PortArgument::kOutOfRange: return replies::kPortRange;
    case PortArgument::kPrivilegedPort: return replies::kNotImplementedParameter;
    case PortArgument::kOk: break;
  }
  return SetActive(std::move(address), port, allow_site_to_site, replies::kPortOk);
}

std::string DataConnection::Eprt(std::string_view argument, bool allow_site_to_site) {
  if (epsv_all_) return replies::kEpsvAllInForce;
  std::string address;
  std::uint32_t port = 0;
  switch (ParseEprtArgument(argument, &address, &port)) {
    case EprtArgument::kSyntax: return replies::kEprtSyntax;
    case EprtArgument::kProtocol: return ControlIsIpv6() ? replies::kNetworkProtocolIpv6 : replies::kNetworkProtocol;
    case EprtArgument::kOk: break;
  }
  // The data connection goes to the control connection's peer, so over its
  // family: the other one is refused as unsupported, as it always was.
  const bool ipv6 = address.find(':') != std::string::npos;
  if (ipv6 != ControlIsIpv6()) return ControlIsIpv6() ? replies::kNetworkProtocolIpv6 : replies::kNetworkProtocol;
  if (port < 1024) return replies::kNotImplementedParameter;
  return SetActive(std::move(address), port, allow_site_to_site, replies::kEprtOk);
}

std::string DataConnection::SetActive(std::string address, std::uint32_t port, bool allow_site_to_site,
                                      const char* reply) {
  port_address_ = std::move(address);
  port_port_ = port;
  if (!allow_site_to_site && port_address_ != control_peer_) {
    port_address_.clear();
    return replies::kSiteToSite;
  }
  Close();
  return reply;
}

void DataConnection::CloseListener() {
  listener_.Close();
  if (holds_slot_ && slots_.release) slots_.release();
  holds_slot_ = false;
}

bool DataConnection::CloseUnusedPassive(std::uint32_t* wait_ms) {
  if (!IsListening()) return false;
  const std::uint32_t age = clock_.TickMs() - listen_tick_;
  if (age >= kUnusedPassiveMs) {
    CloseListener();
    return true;
  }
  if (wait_ms != nullptr) *wait_ms = kUnusedPassiveMs - age;
  return false;
}

bool DataConnection::Listen() {
  Close();
  refused_peer_ = false;
  refused_slot_ = false;
  if (slots_.acquire) {
    if (!slots_.acquire()) {
      refused_slot_ = true;
      return false;
    }
    holds_slot_ = true;
  }
  if (!ListenInRange()) {
    CloseListener();
    return false;
  }
  listen_tick_ = clock_.TickMs();
  port_address_.clear();
  port_port_ = 0;
  return true;
}

bool DataConnection::ListenInRange() {
  if (first_port_ == 0) return listener_.ListenOn(0);
  // Every port of the range once, from a random start with a random stride
  // that shares no factor with the range's size.
  const std::uint32_t count = std::uint32_t{last_port_} - first_port_ + 1;
  auto next_random = [this] {
    random_ = random_ * 1'103'515'245u + 12'345u;
    return random_ >> 8;
  };
  if (random_ == 0) random_ = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(this)) | 1;
  const std::uint32_t start = next_random() % count;
  std::uint32_t stride = 1;
  for (int tries = 0; tries < 8 && count > 2; ++tries) {
    const std::uint32_t candidate = 1 + next_random() % (count - 1);
    if (std::gcd(candidate, count) == 1) {
      stride = candidate;
      break;
    }
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto port = static_cast<std::uint16_t>(first_port_ + (start + std::uint64_t{i} * stride) % count);
    if (listener_.ListenOn(port)) return true;
  }
  return false;
}

std::string DataConnection::Pasv(const std::string& address) {
  if (epsv_all_) return replies::kEpsvAllInForce;
  if (ControlIsIpv6()) return replies::kPasvOnIpv6;
  if (!Listen()) return refused_slot_ ? replies::kPassiveShareUsed : replies::kPasvFailed;
  const int port = listener_.LocalPort();
  std::string reply = fileutil::FormatText(replies::kPasv, address.c_str(), port / 256, port % 256);
  fileutil::ReplaceChar(&reply, '.', ',');
  return reply;
}

std::string DataConnection::Epsv(std::string_view argument) {
  if (fileutil::EqualNoCase(argument, "ALL")) {
    epsv_all_ = true;
    return replies::kEpsvAll;
  }
  // The data connection comes from the control connection's address, so
  // of its family.
  const std::string_view family = ControlIsIpv6() ? "2" : "1";
  if (!argument.empty() && argument != family)
    return ControlIsIpv6() ? replies::kNetworkProtocolIpv6 : replies::kNetworkProtocol;
  if (!Listen()) return refused_slot_ ? replies::kPassiveShareUsed : replies::kPasvFailed;
  return fileutil::FormatText(replies::kEpsv, static_cast<int>(listener_.LocalPort()));
}

bool DataConnection::HasSetup() const {
  return !port_address_.empty() || listener_.GetState() != runtime::TcpSocket::State::kClosed ||
         socket_.GetState() != runtime::TcpSocket::State::kClosed;
}

void DataConnection::AcceptIfWaiting(bool allow_site_to_site) {
  if (IsListening()) {
    [[maybe_unused]] const bool accepted = AcceptAllowed(allow_site_to_site);
  }
}

bool DataConnection::PeerAllowed(bool allow_site_to_site) const {
  return allow_site_to_site || std::string_view(socket_.PeerAddressText()) == control_peer_;
}

bool DataConnection::AcceptAllowed(bool allow_site_to_site) {
  while (listener_.AcceptInto(socket_)) {
    if (PeerAllowed(allow_site_to_site)) return true;
    // Someone else raced the client to its port: it gets nothing, and the
    // port stays open for the client.
    refused_peer_ = true;
    const std::string peer = socket_.PeerAddressText();
    socket_.Close();
    if (refused_peer_report_) refused_peer_report_(peer);
  }
  return false;
}

DataConnection::Opened DataConnection::Open(bool allow_site_to_site, const Watch& watch) {
  // The wait starts with the transfer, also when the client connected
  // before it: a connection found unusable later waits out the same time.
  tries_left_ = kPassiveTries;
  if (watch.clock != nullptr)
    deadline_tick_ = watch.clock->TickMs() + static_cast<std::uint32_t>(kPassiveTries) * kPassiveWaitMs;
  if (socket_.GetState() == runtime::TcpSocket::State::kConnected) {
    // Taken before the transfer; the rules may have changed since.
    if (PeerAllowed(allow_site_to_site)) return Opened::kOpen;
    refused_peer_ = true;
    socket_.Close();
    if (listener_.GetState() != runtime::TcpSocket::State::kListening) return Opened::kSiteToSite;
  }
  if (listener_.GetState() != runtime::TcpSocket::State::kListening) {
    if (port_address_.empty()) return Opened::kFailed;
    // Bounded by the caller's time-out, and cut short by a stop.
    return socket_.Connect(port_address_.c_str(), static_cast<std::uint16_t>(port_port_), watch.stop,
                           watch.connect_timeout_ms)
               ? Opened::kOpen
               : Opened::kFailed;
  }
  return WaitForPeer(allow_site_to_site, watch);
}

DataConnection::Opened DataConnection::OpenAnother(bool allow_site_to_site, const Watch& watch) {
  socket_.Close();
  if (listener_.GetState() != runtime::TcpSocket::State::kListening) return Opened::kFailed;
  return WaitForPeer(allow_site_to_site, watch);
}

DataConnection::Opened DataConnection::WaitForPeer(bool allow_site_to_site, const Watch& watch) {
  while (tries_left_ > 0) {
    if (!watch.control_alive()) return Opened::kFailed;
    if (!watch.still_admitted()) return Opened::kNoLongerAllowed;
    if (AcceptAllowed(allow_site_to_site)) return Opened::kOpen;
    if (listener_.GetState() != runtime::TcpSocket::State::kListening) return Opened::kFailed;
    if (watch.clock != nullptr && static_cast<std::int32_t>(watch.clock->TickMs() - deadline_tick_) >= 0)
      break;
    // Only a quiet second counts as a try: peers that are refused do not
    // use up the client's wait (the clock's deadline still bounds it).
    if (!listener_.WaitReadable(watch.stop, kPassiveWaitMs)) --tries_left_;
  }
  socket_.Close();
  return refused_peer_ ? Opened::kSiteToSite : Opened::kFailed;
}

}  // namespace quillon::ftp
