#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/event.h"

namespace quillon::platform {

namespace {

void SetError(int* error, int value) {
  if (error != nullptr) *error = value;
}

sockaddr_in ToSockaddr(const Endpoint& endpoint) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(endpoint.port);
  std::memcpy(&address.sin_addr.s_addr, endpoint.octets, 4);
  return address;
}

bool FromSockaddr(const sockaddr_in& address, Endpoint* out) {
  if (address.sin_family != AF_INET) return false;
  std::memcpy(out->octets, &address.sin_addr.s_addr, 4);
  out->port = ntohs(address.sin_port);
  return true;
}

IoStatus SendWithFlags(SocketHandle socket, const void* bytes, std::size_t length, int flags,
                       std::size_t* count, int* error) {
  *count = 0;
  for (;;) {
    ssize_t n = send(socket, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT | flags);
    if (n >= 0) {
      *count = static_cast<std::size_t>(n);
      return n > 0 || length == 0 ? IoStatus::kDone : IoStatus::kWantWrite;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IoStatus::kWantWrite;
    SetError(error, errno);
    return IoStatus::kFailed;
  }
}

}  // namespace

bool StartNetworking() {
  signal(SIGPIPE, SIG_IGN);
  // Each session holds a socket and two event descriptors, a transfer one
  // or two more: ten thousand sessions need tens of thousands. Root may
  // raise the hard limit; anyone may raise the soft limit to the hard one.
  constexpr rlim_t kWantedDescriptors = 131072;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return true;
  if (limit.rlim_max < kWantedDescriptors) {
    const rlimit raised{kWantedDescriptors, kWantedDescriptors};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return true;
  }
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);  // best effort: the old limit stays on failure
  }
  return true;
}

bool SetDescriptorLimit(std::uint64_t soft, std::uint64_t* previous) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (previous != nullptr) *previous = static_cast<std::uint64_t>(limit.rlim_cur);
  limit.rlim_cur = static_cast<rlim_t>(soft);
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

SocketHandle OpenTcpSocket(int* error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) SetError(error, errno);
  return fd < 0 ? kNoSocket : fd;
}

bool BindAnyAddress(SocketHandle socket, std::uint16_t port, int* error) {
  int on = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  Endpoint any;
  any.port = port;
  sockaddr_in address = ToSockaddr(any);
  if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    SetError(error, errno);
    return false;
  }
  return true;
}

bool BindAddress(SocketHandle socket, const Endpoint& local, int* error) {
  sockaddr_in address = ToSockaddr(local);
  if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    SetError(error, errno);
    return false;
  }
  return true;
}

bool IsPermissionError(int error) { return error == EACCES || error == EPERM; }

bool ListenForConnections(SocketHandle socket, int backlog, int* error) {
  // The kernel caps the queue at net.core.somaxconn.
  if (listen(socket, backlog == kSystemMaxBacklog ? SOMAXCONN : backlog) != 0) {
    SetError(error, errno);
    return false;
  }
  return true;
}

SocketHandle AcceptPending(SocketHandle listener, int* error) {
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno == EINTR) continue;
    const bool transient = errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED;
    SetError(error, transient ? 0 : errno);
    return kNoSocket;
  }
}

bool ConnectWithin(SocketHandle socket, const Endpoint& target, const Event* cancel,
                   std::uint32_t timeout_ms, int* error) {
  sockaddr_in address = ToSockaddr(target);
  if (connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) {
    SetError(error, errno);
    return false;
  }
  SystemClock clock;
  const std::uint32_t start = clock.TickMs();
  for (;;) {
    const std::uint32_t spent = clock.TickMs() - start;
    if (spent >= timeout_ms) {
      SetError(error, ETIMEDOUT);
      return false;
    }
    PollItem items[2];
    items[0].descriptor = socket;
    items[0].want_write = true;
    items[1].descriptor = cancel != nullptr ? cancel->PollDescriptor() : -1;
    items[1].want_read = true;
    Poll(items, 2, timeout_ms - spent);
    if (cancel != nullptr && cancel->IsSet()) {
      SetError(error, ECANCELED);
      return false;
    }
    if (items[0].writable || items[0].readable) break;
  }
  int result = 0;
  socklen_t length = sizeof result;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &result, &length) != 0) result = errno;
  if (result != 0) {
    SetError(error, result);
    return false;
  }
  return true;
}

IoStatus SendSome(SocketHandle socket, const void* bytes, std::size_t length, std::size_t* count,
                  int* error) {
  return SendWithFlags(socket, bytes, length, 0, count, error);
}

IoStatus SendUrgentSome(SocketHandle socket, const void* bytes, std::size_t length,
                        std::size_t* count, int* error) {
  return SendWithFlags(socket, bytes, length, MSG_OOB, count, error);
}

IoStatus SendFileSome(SocketHandle socket, int file, std::size_t length, std::size_t* count,
                      int* error) {
  // sendfile() has no MSG_NOSIGNAL: a peer that went away must not end the
  // process.
  static std::once_flag ignore_broken_pipes;
  std::call_once(ignore_broken_pipes, [] { signal(SIGPIPE, SIG_IGN); });
  *count = 0;
  for (;;) {
    const ssize_t n = sendfile(socket, file, nullptr, length);
    if (n > 0) {
      *count = static_cast<std::size_t>(n);
      return IoStatus::kDone;
    }
    if (n == 0) return length == 0 ? IoStatus::kDone : IoStatus::kClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IoStatus::kWantWrite;
    SetError(error, errno);
    return IoStatus::kFailed;
  }
}

namespace {

IoStatus ReceiveWithFlags(SocketHandle socket, void* buffer, std::size_t length, std::size_t* count,
                          int* error, int flags) {
  *count = 0;
  for (;;) {
    ssize_t n = recv(socket, buffer, length, MSG_DONTWAIT | flags);
    if (n > 0) {
      *count = static_cast<std::size_t>(n);
      return IoStatus::kDone;
    }
    if (n == 0) return length == 0 ? IoStatus::kWantRead : IoStatus::kClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IoStatus::kWantRead;
    SetError(error, errno);
    return IoStatus::kFailed;
  }
}

}  // namespace

IoStatus ReceiveSome(SocketHandle socket, void* buffer, std::size_t length, std::size_t* count,
                     int* error) {
  return ReceiveWithFlags(socket, buffer, length, count, error, 0);
}

IoStatus PeekSome(SocketHandle socket, void* buffer, std::size_t length, std::size_t* count,
                  int* error) {
  return ReceiveWithFlags(socket, buffer, length, count, error, MSG_PEEK);
}

bool LocalEndpoint(SocketHandle socket, Endpoint* out) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  return FromSockaddr(address, out);
}

bool PeerEndpoint(SocketHandle socket, Endpoint* out) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  return FromSockaddr(address, out);
}

void SetNoDelay(SocketHandle socket) {
  int on = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void SetUrgentInline(SocketHandle socket) {
  int on = 1;
  setsockopt(socket, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
}

void ShutdownBoth(SocketHandle socket) { shutdown(socket, SHUT_RDWR); }

void CloseSocket(SocketHandle socket) {
  if (socket >= 0) close(socket);
}

void CloseWithReset(SocketHandle socket) {
  if (socket < 0) return;
  // Lingering for no time makes close() send a reset and drop what waits.
  linger abort{};
  abort.l_onoff = 1;
  abort.l_linger = 0;
  setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(socket);
}

bool ResolveIpv4(const char* host, Endpoint* out) {
  in_addr parsed{};
  if (inet_aton(host, &parsed) != 0) {
    std::memcpy(out->octets, &parsed.s_addr, 4);
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  Endpoint endpoint;
  bool ok = FromSockaddr(*reinterpret_cast<const sockaddr_in*>(found->ai_addr), &endpoint);
  freeaddrinfo(found);
  if (ok) std::memcpy(out->octets, endpoint.octets, 4);
  return ok;
}

int Poll(PollItem* items, std::size_t count, std::uint32_t timeout_ms) {
  constexpr std::size_t kMaxItems = 8;
  pollfd fds[kMaxItems];
  if (count > kMaxItems) count = kMaxItems;
  for (std::size_t i = 0; i < count; ++i) {
    fds[i].fd = items[i].descriptor;
    fds[i].events = static_cast<short>((items[i].want_read ? POLLIN : 0) |
                                       (items[i].want_write ? POLLOUT : 0));
    fds[i].revents = 0;
  }
  const int timeout = timeout_ms == kWaitForever ? -1 : static_cast<int>(std::min<std::uint32_t>(timeout_ms, 0x7FFFFFFF));
  int rc = poll(fds, count, timeout);
  if (rc <= 0) rc = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const short r = fds[i].revents;
    items[i].readable = (r & (POLLIN | POLLHUP | POLLERR)) != 0 && items[i].want_read;
    items[i].writable = (r & (POLLOUT | POLLHUP | POLLERR)) != 0 && items[i].want_write;
  }
  return rc;
}

bool ResolveIPv4(const char* host, Endpoint* out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  std::memcpy(out->octets, &address->sin_addr.s_addr, 4);
  freeaddrinfo(found);
  return true;
}

}  // namespace quillon::platform
