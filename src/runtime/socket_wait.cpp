#include "runtime/socket_wait.h"

#include <cstdio>
#include <cstdlib>

namespace quillon::runtime {

platform::PollItem& SocketWait::Add(int descriptor, bool socket) {
  if (count_ == kMaxWatched) {
    std::fputs("SocketWait: more than kMaxWatched items\n", stderr);
    std::abort();
  }
  platform::PollItem& item = items_[count_];
  item = platform::PollItem{};
  item.descriptor = descriptor;
  socket_[count_] = socket;
  ++count_;
  return item;
}

SocketWait& SocketWait::Readable(const TcpSocket& socket) {
  if (socket.Handle() == platform::kNoSocket) return *this;
  Add(socket.Handle(), true).want_read = true;
  if (socket.HasPendingInput()) input_pending_ = true;
  return *this;
}

SocketWait& SocketWait::Writable(const TcpSocket& socket) {
  if (socket.Handle() == platform::kNoSocket) return *this;
  Add(socket.Handle(), true).want_write = true;
  return *this;
}

SocketWait& SocketWait::Until(const platform::Event* event) {
  if (event != nullptr) Add(event->PollDescriptor(), false).want_read = true;
  return *this;
}

bool SocketWait::Wait(std::uint32_t timeout_ms) {
  // Input that waits inside TLS is ready now; the poll still runs, so what
  // else is ready is reported too.
  platform::Poll(items_, count_, input_pending_ ? 0 : timeout_ms);
  if (input_pending_) return true;
  for (std::size_t i = 0; i < count_; ++i) {
    if (socket_[i] && (items_[i].readable || items_[i].writable)) return true;
  }
  return false;
}

}  // namespace quillon::runtime
