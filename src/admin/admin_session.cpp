#include "admin/admin_session.h"

#include "platform/fs.h"

namespace quillon::admin {

using Guard = runtime::CriticalSection::Guard;

std::string AdminSession::LogIn() {
  std::string id;
  // Rejection sampling keeps every digit uniform: bytes 250-255 are drawn again.
  while (id.size() < kIdDigits) {
    unsigned char bytes[64];
    if (!platform::RandomBytes(bytes, sizeof bytes)) return {};
    for (unsigned char byte : bytes)
      if (byte < 250 && id.size() < kIdDigits) id.push_back(static_cast<char>('0' + byte % 10));
  }
  Guard guard(lock_);
  id_ = id;
  logged_in_ = true;
  last_use_ = clock_.MonotonicMs();
  return id;
}

void AdminSession::LogOut() {
  Guard guard(lock_);
  logged_in_ = false;
}

bool AdminSession::Accept(std::string_view id) {
  Guard guard(lock_);
  if (!logged_in_ || id != id_) return false;
  const std::uint64_t now = clock_.MonotonicMs();
  if (now - last_use_ > kExpiryMs) {
    logged_in_ = false;
    return false;
  }
  last_use_ = now;
  return true;
}

bool AdminSession::IsLoggedIn() const {
  Guard guard(lock_);
  return logged_in_;
}

}  // namespace quillon::admin
