#include "platform/local_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/thread.h"

namespace quillon::platform {

namespace {

bool MakeAddress(const std::string& path, sockaddr_un* address, std::string* error) {
  if (path.empty() || path.size() > LocalListener::kMaxPathLength) {
    *error = "the socket path is empty or too long";
    return false;
  }
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

// Waits until `fd` is ready for `events` or the deadline passes.
bool WaitReady(int fd, short events, Clock& clock, std::uint64_t deadline) {
  for (;;) {
    const std::uint64_t now = clock.MonotonicMs();
    if (now >= deadline) return false;
    pollfd item{fd, events, 0};
    const int rc = poll(&item, 1, static_cast<int>(std::min<std::uint64_t>(deadline - now, 0x7FFFFFFF)));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
  }
}

}  // namespace

LocalSocket& LocalSocket::operator=(LocalSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool LocalSocket::Connect(const std::string& path, std::string* error) {
  Close();
  sockaddr_un address;
  if (!MakeAddress(path, &address, error)) return false;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = ErrorText("socket", errno);
    return false;
  }
  // A local connect completes or fails at once (a full backlog fails too).
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *error = ErrorText("connect", errno);
    close(fd);
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  fd_ = fd;
  return true;
}

bool LocalSocket::PeerUserId(std::uint32_t* uid) const {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials)
    return false;
  *uid = credentials.uid;
  return true;
}

bool LocalSocket::SendAll(std::string_view bytes, Clock& clock, std::uint32_t timeout_ms) {
  const std::uint64_t deadline = clock.MonotonicMs() + timeout_ms;
  while (!bytes.empty()) {
    const ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitReady(fd_, POLLOUT, clock, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

void LocalSocket::EndSending() {
  if (fd_ >= 0) shutdown(fd_, SHUT_WR);
}

bool LocalSocket::ReceiveAll(std::string* bytes, std::size_t max_bytes, Clock& clock, std::uint32_t timeout_ms) {
  const std::uint64_t deadline = clock.MonotonicMs() + timeout_ms;
  bytes->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t got = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0) return true;
    if (got > 0) {
      if (bytes->size() + static_cast<std::size_t>(got) > max_bytes) return false;
      bytes->append(buffer, static_cast<std::size_t>(got));
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitReady(fd_, POLLIN, clock, deadline)) return false;
    } else {
      return false;
    }
  }
}

void LocalSocket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool LocalListener::Listen(const std::string& path, unsigned mode, std::string* error) {
  Close();
  sockaddr_un address;
  if (!MakeAddress(path, &address, error)) return false;
  RemoveSocketFile(path);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = ErrorText("socket", errno);
    return false;
  }
  // The file is made with no more than `mode` from the start: nobody can
  // connect in between the bind and a later chmod.
  const mode_t previous = umask(static_cast<mode_t>(~mode & 0777));
  const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bind_error = errno;
  umask(previous);
  if (bound != 0 || listen(fd, 16) != 0) {
    *error = ErrorText(bound != 0 ? "bind" : "listen", bound != 0 ? bind_error : errno);
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool LocalListener::Accept(LocalSocket* connection, const Event& wake, std::uint32_t timeout_ms) {
  if (fd_ < 0) return false;
  pollfd items[2] = {{fd_, POLLIN, 0}, {wake.PollDescriptor(), POLLIN, 0}};
  const int timeout =
      timeout_ms == kWaitForever ? -1 : static_cast<int>(std::min<std::uint32_t>(timeout_ms, 0x7FFFFFFF));
  if (poll(items, wake.PollDescriptor() >= 0 ? 2 : 1, timeout) <= 0 || (items[0].revents & POLLIN) == 0)
    return false;
  const int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return false;
  *connection = LocalSocket(fd);
  return true;
}

void LocalListener::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void RemoveSocketFile(const std::string& path) {
  // A link is removed too (not followed): one planted in the socket's place
  // could lead a client to another listener.
  struct stat info{};
  if (lstat(path.c_str(), &info) == 0 && (S_ISSOCK(info.st_mode) || S_ISLNK(info.st_mode))) unlink(path.c_str());
}

std::uint32_t EffectiveUserId() { return static_cast<std::uint32_t>(geteuid()); }

}  // namespace quillon::platform
