// The data connection of one FTP session: what PORT and PASV set up, and
// opening it for a transfer (connecting out for PORT, accepting for PASV)
// under the site-to-site rule: unless the server allows site-to-site
// transfers, the data peer must be the control connection's peer.
//
// Thread-safety: belongs to its session's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/event.h"
#include "runtime/limits.h"
#include "runtime/line_socket.h"

namespace quillon::ftp {

class DataConnection {
 public:
  // A passive data connection is awaited this many times, a second each.
  static constexpr int kPassiveTries = limits::kPassiveTries;

  enum class Opened {
    kOpen,
    kFailed,           // no set-up, the connect failed, or the wait ran out
    kSiteToSite,       // the peer is not the control connection's peer
    kNoLongerAllowed,  // the client lost its admission while being awaited
  };
  // What opening watches while it waits.
  struct Watch {
    const platform::Event* stop = nullptr;
    std::uint32_t connect_timeout_ms = 1000;
    std::function<bool()> control_alive;   // false ends the wait
    std::function<bool()> still_admitted;  // false ends it as kNoLongerAllowed
  };

  // The address of the control connection's peer (dotted text).
  void SetControlPeer(std::string address) { control_peer_ = std::move(address); }
  runtime::LineSocket& Socket() { return socket_; }
  const runtime::LineSocket& Socket() const { return socket_; }

  // The ports PASV and EPSV listen on (both 0: any free port). A range is
  // tried in a random order.
  void SetPortRange(std::uint16_t first, std::uint16_t last) {
    first_port_ = first;
    last_port_ = last;
  }

  // PORT with its argument: records the client's address and port and
  // returns the reply to send.
  std::string Port(std::string_view argument, bool allow_site_to_site);
  // EPRT with its argument: as PORT, for "|1|address|port|".
  std::string Eprt(std::string_view argument, bool allow_site_to_site);
  // PASV: listens on a new port; the reply names `address` and the port.
  std::string Pasv(const std::string& address);
  // EPSV with its argument ("", "1", "ALL" or another protocol number).
  std::string Epsv(std::string_view argument);
  // PORT or PASV has set up a data connection.
  bool HasSetup() const;
  bool IsListening() const { return socket_.GetState() == runtime::TcpSocket::kListening; }
  // Takes a client that connected to the passive port before its transfer.
  void AcceptIfWaiting();
  Opened Open(bool allow_site_to_site, const Watch& watch);
  void Shutdown() { socket_.Shutdown(); }
  void Close() { socket_.Close(); }

 private:
  bool PeerAllowed(bool allow_site_to_site) const;
  // Records an active-mode address and port under the PORT rules.
  std::string SetActive(std::string address, std::uint32_t port, bool allow_site_to_site,
                        const char* reply);
  // Listens on a port of the range (or any) in place of any earlier set-up;
  // false (the earlier PORT set-up kept) when none could be opened.
  bool Listen();
  bool ListenInRange();

  runtime::LineSocket socket_;
  std::string control_peer_;
  std::string port_address_;  // set by PORT; empty after PASV
  std::uint32_t port_port_ = 0;
  std::uint16_t first_port_ = 0;
  std::uint16_t last_port_ = 0;
  bool epsv_all_ = false;  // after EPSV ALL only EPSV sets up connections
  std::uint32_t random_ = 0;
};

}  // namespace quillon::ftp
