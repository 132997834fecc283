// How passive data connections are offered: the port range PASV and EPSV
// listen on, and the public address that 227 replies give clients outside
// the private ranges (a server behind NAT). A host name is resolved when it
// is configured and again once it is ten minutes old.
//
// It also counts the passive ports open per client address: one address
// (one account with many sessions, say) may hold only its share of them at a
// time (kListenersPerAddress unless configured).
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/clock.h"
#include "runtime/critical_section.h"
#include "runtime/ip_range_list.h"

namespace quillon::ftp {

class PassiveConfig {
 public:
  static constexpr std::uint32_t kRefreshMs = 10 * 60 * 1000;
  // Passive ports open at a time for one client address.
  static constexpr std::uint32_t kListenersPerAddress = 8;

  explicit PassiveConfig(platform::Clock& clock) : clock_(clock) {}

  // Takes the settings: a range (both 0: any free port) and an address or
  // host name ("" for none), which is resolved now.
  void Configure(std::uint16_t first_port, std::uint16_t last_port, const std::string& address);
  std::uint16_t FirstPort() const;
  std::uint16_t LastPort() const;
  // The address a passive reply gives a client at `peer`: the public one for
  // a peer outside the private and loopback ranges; "" (the control
  // connection's own address) for the others, or when none is set or known.
  std::string AddressFor(const runtime::IpAddress& peer);
  // "Address=[...], Ports=[...]" for the log; "" when nothing is set.
  std::string Describe() const;

  // Passive ports one address may hold at a time (0: no limit).
  void SetListenersPerAddress(std::uint32_t share);
  // Counts one more passive port for `peer`; false (nothing counted) when
  // it already holds its share.
  [[nodiscard]] bool TryAddListener(const std::string& peer);
  // A port TryAddListener counted for `peer` closed.
  void RemoveListener(const std::string& peer);
  // The passive ports open now, over every address.
  std::uint32_t ListenerCount() const;

  // 10/8, 172.16/12, 192.168/16, 127/8, 169.254/16 and 100.64/10.
  static bool IsPrivate(const runtime::IpAddress& address);

 private:
  // Looks the host up; keeps the old answer when the lookup fails.
  void Resolve(const std::string& host);

  platform::Clock& clock_;
  mutable runtime::CriticalSection lock_;
  std::uint16_t first_ = 0;       // guarded by lock_
  std::uint16_t last_ = 0;        // guarded by lock_
  std::string host_;              // guarded by lock_
  std::string resolved_;          // guarded by lock_
  std::uint32_t resolved_tick_ = 0;  // guarded by lock_
  bool resolving_ = false;        // guarded by lock_
  std::uint32_t listeners_per_address_ = kListenersPerAddress;  // guarded by lock_
  std::map<std::string, std::uint32_t> listeners_;  // guarded by lock_: open ports per peer
};

}  // namespace quillon::ftp
