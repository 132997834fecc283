// The data connection of one FTP session: what PORT and PASV set up, and
// opening it for a transfer (connecting out for PORT, accepting for PASV)
// under the site-to-site rule: unless the server allows site-to-site
// transfers, the data peer must be the control connection's peer.
//
// A passive port keeps its own listening socket until the transfer takes
// its connection: a peer from another address that connects first is
// closed (and reported), and the port goes on waiting for the right one.
//
// Thread-safety: belongs to its session's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/event.h"
#include "runtime/limits.h"
#include "runtime/line_socket.h"

namespace quillon::ftp {

class DataConnection {
 public:
  // A passive data connection is awaited this many times, a second each,
  // and no longer than as many seconds in all.
  static constexpr int kPassiveTries = limits::kPassiveTries;
  static constexpr std::uint32_t kPassiveWaitMs = 1000;
  // A passive port nobody connected to is closed after this long.
  static constexpr std::uint32_t kUnusedPassiveMs = 60'000;

  // `clock` times unused passive ports.
  explicit DataConnection(platform::Clock& clock) : clock_(clock) {}
  ~DataConnection() { CloseListener(); }
  DataConnection(const DataConnection&) = delete;
  DataConnection& operator=(const DataConnection&) = delete;

  enum class Opened {
    kOpen,
    kFailed,           // no set-up, the connect failed, or the wait ran out
    kSiteToSite,       // only peers other than the control connection's peer came
    kNoLongerAllowed,  // the client lost its admission while being awaited
  };
  // What opening watches while it waits.
  struct Watch {
    const platform::Event* stop = nullptr;
    platform::Clock* clock = nullptr;  // bounds a passive wait; may be null
    std::uint32_t connect_timeout_ms = 1000;
    std::function<bool()> control_alive;   // false ends the wait
    std::function<bool()> still_admitted;  // false ends it as kNoLongerAllowed
  };

  // The control connection's peer address, in its standard text form.
  void SetControlPeer(std::string address) { control_peer_ = std::move(address); }
  // The control connection is IPv6 (PASV and PORT, which carry IPv4
  // addresses, are refused; EPSV and EPRT use protocol 2).
  bool ControlIsIpv6() const { return control_peer_.find(':') != std::string::npos; }
  // Told the address of every passive peer that was closed for not being
  // the control connection's peer.
  void SetRefusedPeerReport(std::function<void(const std::string&)> report) {
    refused_peer_report_ = std::move(report);
  }
  // Counts each passive port against the client address's share; a port
  // that does not fit is refused.
  struct ListenerSlots {
    std::function<bool()> acquire;
    std::function<void()> release;
  };
  void SetListenerSlots(ListenerSlots slots) { slots_ = std::move(slots); }
  // Closes a passive port nobody connected to within kUnusedPassiveMs; true
  // when it did. Returns in *wait_ms (when not null and a port waits) how
  // long the port has left.
  bool CloseUnusedPassive(std::uint32_t* wait_ms);
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
  // A passive port waits for its connection (none taken yet).
  bool IsListening() const {
    return listener_.GetState() == runtime::TcpSocket::State::kListening &&
           socket_.GetState() != runtime::TcpSocket::State::kConnected;
  }
  // The passive port's listening socket (to wait on while IsListening()).
  const runtime::TcpSocket& Listener() const { return listener_; }
  // Takes a client that connected to the passive port before its transfer;
  // peers not allowed are closed and the port keeps listening.
  void AcceptIfWaiting(bool allow_site_to_site);
  // Opens the connection for a transfer: connects out after PORT, or takes
  // (or waits for) an allowed peer on the passive port.
  Opened Open(bool allow_site_to_site, const Watch& watch);
  // After a passive connection was found unusable (its TLS handshake
  // failed): closes it and waits for another in what is left of the wait
  // Open began. kFailed at once after PORT.
  Opened OpenAnother(bool allow_site_to_site, const Watch& watch);
  // The transfer has its connection: the passive port stops listening.
  void StopListening() { CloseListener(); }
  void Shutdown() {
    CloseListener();
    socket_.Shutdown();
  }
  void Close() {
    CloseListener();
    socket_.Close();
  }

 private:
  bool PeerAllowed(bool allow_site_to_site) const;
  // Closes the passive port and gives its slot back.
  void CloseListener();
  // Accepts pending peers until an allowed one is connected (true) or none
  // is pending; the others are closed and reported.
  bool AcceptAllowed(bool allow_site_to_site);
  // Waits on the passive port for an allowed peer with the tries left.
  Opened WaitForPeer(bool allow_site_to_site, const Watch& watch);
  // Records an active-mode address and port under the PORT rules.
  std::string SetActive(std::string address, std::uint32_t port, bool allow_site_to_site,
                        const char* reply);
  // Listens on a port of the range (or any) in place of any earlier set-up;
  // false (the earlier PORT set-up kept) when none could be opened.
  bool Listen();
  bool ListenInRange();

  platform::Clock& clock_;
  ListenerSlots slots_;
  bool holds_slot_ = false;          // a slot is counted for listener_
  std::uint32_t listen_tick_ = 0;    // when listener_ opened
  bool refused_slot_ = false;        // the last Listen found no slot
  runtime::TcpSocket listener_;  // the passive port
  runtime::LineSocket socket_;   // the data connection
  std::string control_peer_;
  std::function<void(const std::string&)> refused_peer_report_;
  // The passive wait: tries and the clock's deadline left, and whether a
  // peer was refused since the port opened.
  int tries_left_ = 0;
  std::uint32_t deadline_tick_ = 0;
  bool refused_peer_ = false;
  std::string port_address_;  // set by PORT; empty after PASV
  std::uint32_t port_port_ = 0;
  std::uint16_t first_port_ = 0;
  std::uint16_t last_port_ = 0;
  bool epsv_all_ = false;  // after EPSV ALL only EPSV sets up connections
  std::uint32_t random_ = 0;
};

}  // namespace quillon::ftp
