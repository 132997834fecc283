// The edits of an IP list that every face offers: adding one address or a
// range with its check, and blocking the whole address space. Each face
// words a fault in its own text. Used for the server's lists and for an
// account's or group's alike.
//
// Thread-safety: works on the caller's list only.
#pragma once

#include <string>

#include "runtime/ip_range_list.h"

namespace quillon::control {

// The first fault of an address or range, in the order the faces report them.
enum class IpAddFault {
  kNone,
  kLowerNotValid,
  kUpperNotValid,
  kUpperBelowLower,
};

class IpListControl {
 public:
  // Adds `lower` alone (`upper` null: an address or a prefix such as
  // "2001:db8::/48", of either family) or the range `lower`..`upper` (two
  // addresses of one family) to `list`. On a fault the list is unchanged.
  [[nodiscard]] static IpAddFault Add(runtime::IpRangeList* list, const std::string& lower,
                                      const std::string* upper);
  // Adds 0.0.0.0 - 255.255.255.255, which covers every IPv6 address too
  // (runtime::IpRangeList::kWholeIpv4).
  static void BlockAll(runtime::IpRangeList* list);
  // What the faces ask before BlockAll.
  static constexpr const char* kBlockAllQuestion =
      "Block every IP address? Once updated, no address may connect unless the safe IPs let it.";
};

}  // namespace quillon::control
