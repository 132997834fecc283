// One wait for several sockets and events at once: a session waits for its
// control connection, its data connection, its stop event and its wake-up
// together.
//
// A socket watched for input counts as ready at once while its TLS session
// holds received bytes already taken off the network, which the system's
// readiness does not show; callers wait the same way for plain and TLS
// sockets.
//
// Thread-safety: a local object of one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/event.h"
#include "platform/net.h"
#include "runtime/tcp_socket.h"

namespace quillon::runtime {

class SocketWait {
 public:
  // Most sockets and events one wait watches.
  static constexpr std::size_t kMaxWatched = 6;

  // Watches `socket` for input, an end of the connection, or a connection to
  // accept. A closed socket is left out. REQUIRES: fewer than kMaxWatched
  // watched so far (as for the others).
  SocketWait& Readable(const TcpSocket& socket);
  // Watches `socket` for room to send. A closed socket is left out.
  SocketWait& Writable(const TcpSocket& socket);
  // Watches `event` until it is set; null is left out.
  SocketWait& Until(const platform::Event* event);

  // Waits until something watched is ready or `timeout_ms` passes
  // (platform::kWaitForever: no limit). True when a watched socket is ready;
  // false when only an event was set, or on time-out.
  bool Wait(std::uint32_t timeout_ms);

 private:
  platform::PollItem& Add(int descriptor, bool socket);

  platform::PollItem items_[kMaxWatched];
  bool socket_[kMaxWatched] = {};  // the item watches a socket, not an event
  std::size_t count_ = 0;
  bool input_pending_ = false;
};

}  // namespace quillon::runtime
