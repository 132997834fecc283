#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quillon::platform {

Event::Event() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Event::~Event() {
  if (fd_ >= 0) close(fd_);
}

void Event::Set() {
  std::lock_guard<std::mutex> guard(change_);
  if (set_.exchange(true, std::memory_order_acq_rel)) return;
  if (fd_ >= 0) {
    const std::uint64_t one = 1;
    // Cannot fail short of a counter overflow, which one pending write rules out.
    [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(change_);
  if (!set_.exchange(false, std::memory_order_acq_rel)) return;
  if (fd_ >= 0) {
    std::uint64_t value = 0;
    [[maybe_unused]] ssize_t n = read(fd_, &value, sizeof value);
  }
}

bool Event::Wait(std::uint32_t timeout_ms) const {
  if (IsSet() || fd_ < 0) return IsSet();
  pollfd p{fd_, POLLIN, 0};
  int rc;
  do {
    rc = poll(&p, 1, timeout_ms == kWaitForever ? -1 : static_cast<int>(std::min<std::uint32_t>(timeout_ms, 0x7FFFFFFF)));
  } while (rc < 0 && errno == EINTR);
  return IsSet();
}

}  // namespace quillon::platform
