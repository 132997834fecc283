#include "ftp/prelogin_limit.h"

namespace quillon::ftp {

void PreloginLimit::Configure(std::uint32_t per_address, std::uint32_t login_timeout_seconds) {
  runtime::CriticalSection::Guard guard(lock_);
  per_address_ = per_address;
  login_timeout_seconds_ = login_timeout_seconds;
}

std::uint32_t PreloginLimit::LoginTimeoutMs() const {
  runtime::CriticalSection::Guard guard(lock_);
  return login_timeout_seconds_ * 1000;
}

bool PreloginLimit::TryAdd(const std::string& address) {
  runtime::CriticalSection::Guard guard(lock_);
  std::uint32_t& count = counts_[address];
  if (per_address_ != 0 && count >= per_address_) {
    if (count == 0) counts_.erase(address);
    return false;
  }
  ++count;
  return true;
}

void PreloginLimit::Remove(const std::string& address) {
  runtime::CriticalSection::Guard guard(lock_);
  const auto found = counts_.find(address);
  if (found == counts_.end()) return;
  if (--found->second == 0) counts_.erase(found);
}

std::uint32_t PreloginLimit::CountFor(const std::string& address) const {
  runtime::CriticalSection::Guard guard(lock_);
  const auto found = counts_.find(address);
  return found == counts_.end() ? 0 : found->second;
}

void PreloginLimit::ConfigureProxy(bool on, runtime::IpRangeList trusted) {
  runtime::CriticalSection::Guard guard(lock_);
  proxy_ = on;
  proxy_trusted_ = std::move(trusted);
}

bool PreloginLimit::ProxyProtocol() const {
  runtime::CriticalSection::Guard guard(lock_);
  return proxy_;
}

bool PreloginLimit::ProxyTrusted(const runtime::IpAddress& peer) const {
  runtime::CriticalSection::Guard guard(lock_);
  return proxy_trusted_.Contains(peer);
}

}  // namespace quillon::ftp
