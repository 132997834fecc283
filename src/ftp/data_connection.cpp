#include "ftp/data_connection.h"

#include "ftp/command_line.h"
#include "ftp/replies.h"
#include "vfs/text.h"

namespace quillon::ftp {

const char* DataConnection::Port(std::string_view argument, bool allow_site_to_site) {
  std::string address;
  std::uint32_t port = 0;
  switch (ParsePortArgument(argument, &address, &port)) {
    case PortArgument::kTooFewNumbers: return replies::kPortParameters;
    case PortArgument::kOutOfRange: return replies::kPortRange;
    case PortArgument::kPrivilegedPort: return replies::kNotImplementedParameter;
    case PortArgument::kOk: break;
  }
  port_address_ = std::move(address);
  port_port_ = port;
  if (!allow_site_to_site && port_address_ != control_peer_) {
    port_address_.clear();
    return replies::kSiteToSite;
  }
  socket_.Close();
  return replies::kPortOk;
}

std::string DataConnection::Pasv(const char* local_address) {
  socket_.Close();
  if (!socket_.ListenOn(0)) return replies::kPasvFailed;
  port_address_.clear();
  port_port_ = 0;
  const int port = socket_.LocalPort();
  std::string reply = vfs::FormatText(replies::kPasv, local_address, port / 256, port % 256);
  vfs::ReplaceChar(&reply, '.', ',');
  return reply;
}

bool DataConnection::HasSetup() const {
  return !port_address_.empty() || socket_.GetState() != runtime::TcpSocket::kClosed;
}

void DataConnection::AcceptIfWaiting() {
  if (IsListening()) {
    [[maybe_unused]] const bool accepted = socket_.AcceptInPlace();
  }
}

bool DataConnection::PeerAllowed(bool allow_site_to_site) const {
  return allow_site_to_site || std::string_view(socket_.PeerAddressText()) == control_peer_;
}

DataConnection::Opened DataConnection::Open(bool allow_site_to_site, const Watch& watch) {
  if (socket_.GetState() == runtime::TcpSocket::kConnected) {
    if (PeerAllowed(allow_site_to_site)) return Opened::kOpen;
    socket_.Close();
    return Opened::kSiteToSite;
  }
  if (!IsListening()) {
    if (port_address_.empty()) return Opened::kFailed;
    // Bounded by the caller's time-out, and cut short by a stop.
    return socket_.Connect(port_address_.c_str(), static_cast<std::uint16_t>(port_port_), watch.stop,
                           watch.connect_timeout_ms)
               ? Opened::kOpen
               : Opened::kFailed;
  }
  for (int attempt = 0; attempt < kPassiveTries; ++attempt) {
    if (!watch.control_alive()) return Opened::kFailed;
    if (!watch.still_admitted()) return Opened::kNoLongerAllowed;
    if (socket_.AcceptInPlace()) {
      if (PeerAllowed(allow_site_to_site)) return Opened::kOpen;
      socket_.Close();
      return Opened::kSiteToSite;
    }
    if (!IsListening()) return Opened::kFailed;
    socket_.WaitReadable(watch.stop, 1000);
  }
  return Opened::kFailed;
}

}  // namespace quillon::ftp
