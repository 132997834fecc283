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

// The socket's address family (AF_INET or AF_INET6); AF_INET when it
// cannot be read.
int SocketFamily(SocketHandle socket) {
  int family = AF_INET;
  socklen_t length = sizeof family;
  if (getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &family, &length) != 0) return AF_INET;
  return family;
}

// The endpoint in the form a socket of `family` takes: an IPv4 socket only
// takes IPv4 addresses, an IPv6 one takes both (IPv4 as mapped addresses).
bool ToSockaddr(const Endpoint& endpoint, int family, sockaddr_storage* storage,
                socklen_t* length) {
  *storage = {};
  if (family == AF_INET6) {
    auto* address = reinterpret_cast<sockaddr_in6*>(storage);
    address->sin6_family = AF_INET6;
    address->sin6_port = htons(endpoint.port);
    std::memcpy(address->sin6_addr.s6_addr, endpoint.address.data(), 16);
    *length = sizeof *address;
    return true;
  }
  if (!endpoint.IsIpv4()) return false;
  auto* address = reinterpret_cast<sockaddr_in*>(storage);
  address->sin_family = AF_INET;
  address->sin_port = htons(endpoint.port);
  std::memcpy(&address->sin_addr.s_addr, endpoint.Ipv4Octets(), 4);
  *length = sizeof *address;
  return true;
}

bool FromSockaddr(const sockaddr_storage& storage, Endpoint* out) {
  if (storage.ss_family == AF_INET) {
    const auto& address = reinterpret_cast<const sockaddr_in&>(storage);
    *out = Endpoint{};
    std::memcpy(out->address.data() + 12, &address.sin_addr.s_addr, 4);
    out->port = ntohs(address.sin_port);
    return true;
  }
  if (storage.ss_family == AF_INET6) {
    const auto& address = reinterpret_cast<const sockaddr_in6&>(storage);
    std::memcpy(out->address.data(), address.sin6_addr.s6_addr, 16);
    out->port = ntohs(address.sin6_port);
    return true;
  }
  return false;
}

// Binds `socket` to `endpoint`, reporting errno.
bool BindTo(SocketHandle socket, const Endpoint& endpoint, int* error) {
  const int family = SocketFamily(socket);
  sockaddr_storage storage;
  socklen_t length = 0;
  if (!ToSockaddr(endpoint, family, &storage, &length)) {
    SetError(error, EAFNOSUPPORT);
    return false;
  }
  if (bind(socket, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    SetError(error, errno);
    return false;
  }
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

bool Endpoint::IsIpv4() const {
  static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::memcmp(address.data(), kMappedPrefix, sizeof kMappedPrefix) == 0;
}

std::string AddressText(const std::array<std::uint8_t, 16>& address) {
  Endpoint endpoint;
  endpoint.address = address;
  char text[INET6_ADDRSTRLEN] = {};
  if (endpoint.IsIpv4()) {
    inet_ntop(AF_INET, endpoint.Ipv4Octets(), text, sizeof text);
  } else {
    inet_ntop(AF_INET6, address.data(), text, sizeof text);
  }
  return text;
}

bool ParseAddress(std::string_view text, std::array<std::uint8_t, 16>* out) {
  // inet_pton takes a NUL-terminated text; no address is longer than this.
  char copy[INET6_ADDRSTRLEN] = {};
  if (text.empty() || text.size() >= sizeof copy || text.find('\0') != std::string_view::npos)
    return false;
  std::memcpy(copy, text.data(), text.size());
  std::uint8_t bytes[16] = {};
  if (inet_pton(AF_INET, copy, bytes + 12) == 1) {
    bytes[10] = 0xff;
    bytes[11] = 0xff;
  } else if (inet_pton(AF_INET6, copy, bytes) != 1) {
    return false;
  }
  std::memcpy(out->data(), bytes, 16);
  return true;
}

SocketHandle OpenTcpSocket(int* error, bool ipv6) {
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) SetError(error, errno);
  return fd < 0 ? kNoSocket : fd;
}

bool BindAnyAddress(SocketHandle socket, std::uint16_t port, int* error) {
  int on = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  Endpoint any;
  any.port = port;
  if (SocketFamily(socket) == AF_INET6) {
    // "::" with both families: IPv4 peers arrive as mapped addresses.
    int off = 0;
    setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    any.address = {};
  }
  return BindTo(socket, any, error);
}

bool BindAddress(SocketHandle socket, const Endpoint& local, int* error) {
  int on = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (SocketFamily(socket) == AF_INET6 && !local.IsIpv4())
    setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  return BindTo(socket, local, error);
}

bool IsPermissionError(int error) { return error == EACCES || error == EPERM; }

bool IsAddressNotLocalError(int error) { return error == EADDRNOTAVAIL; }

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
  sockaddr_storage address;
  socklen_t address_length = 0;
  if (!ToSockaddr(target, SocketFamily(socket), &address, &address_length)) {
    SetError(error, EAFNOSUPPORT);
    return false;
  }
  if (connect(socket, reinterpret_cast<sockaddr*>(&address), address_length) == 0) return true;
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
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  return FromSockaddr(address, out);
}

bool PeerEndpoint(SocketHandle socket, Endpoint* out) {
  sockaddr_storage address{};
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

bool ResolveHost(const char* host, Endpoint* out) {
  std::array<std::uint8_t, 16> address;
  if (std::strchr(host, ':') != nullptr && ParseAddress(host, &address)) {
    out->address = address;
    return true;
  }
  in_addr parsed{};
  if (inet_aton(host, &parsed) != 0) {
    const std::uint16_t port = out->port;
    *out = Endpoint{};
    std::memcpy(out->address.data() + 12, &parsed.s_addr, 4);
    out->port = port;
    return true;
  }
  return ResolveIPv4(host, out);
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

std::string HostName() {
  // The buffer holds the longest name the system allows and a NUL it may
  // leave out when the name fills the buffer.
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

bool ResolveIPv4(const char* host, Endpoint* out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  const std::uint16_t port = out->port;
  *out = Endpoint{};
  std::memcpy(out->address.data() + 12, &address->sin_addr.s_addr, 4);
  out->port = port;
  freeaddrinfo(found);
  return true;
}

}  // namespace quillon::platform
