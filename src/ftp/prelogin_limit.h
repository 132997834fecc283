// Connections that have not logged in yet, counted per client address: no
// address may hold more than its share of the server before a login, and
// none may wait at the login prompt for longer than the login time-out.
//
// Thread-safety: every operation may be called from any thread; the
// settings and the counts are guarded by the lock.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "runtime/critical_section.h"
#include "runtime/ip_range_list.h"

namespace quillon::ftp {

class PreloginLimit {
 public:
  static constexpr std::uint32_t kDefaultPerAddress = 8;
  static constexpr std::uint32_t kDefaultLoginTimeoutSeconds = 60;

  // Takes the settings: connections per address before login (0: no limit)
  // and the seconds a connection has to log in.
  void Configure(std::uint32_t per_address, std::uint32_t login_timeout_seconds);
  std::uint32_t LoginTimeoutMs() const;

  // Counts one more connection from `address` that has not logged in; false
  // (nothing counted) when the address already holds its share.
  [[nodiscard]] bool TryAdd(const std::string& address);
  // The connection from `address` that TryAdd counted logged in or ended.
  void Remove(const std::string& address);
  std::uint32_t CountFor(const std::string& address) const;

  // Connections come through a load balancer that sends the PROXY protocol
  // header first, from the `trusted` addresses only.
  void ConfigureProxy(bool on, runtime::IpRangeList trusted);
  bool ProxyProtocol() const;
  bool ProxyTrusted(const runtime::IpAddress& peer) const;

 private:
  mutable runtime::CriticalSection lock_;
  std::uint32_t per_address_ = kDefaultPerAddress;                 // guarded by lock_
  std::uint32_t login_timeout_seconds_ = kDefaultLoginTimeoutSeconds;  // guarded by lock_
  std::map<std::string, std::uint32_t> counts_;                    // guarded by lock_
  bool proxy_ = false;                                             // guarded by lock_
  runtime::IpRangeList proxy_trusted_;                             // guarded by lock_
};

}  // namespace quillon::ftp
