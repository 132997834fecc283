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
  // Adds `lower` alone (`upper` null) or the range `lower`..`upper` to
  // `list`. On a fault the list is unchanged.
  [[nodiscard]] static IpAddFault Add(runtime::IpRangeList* list, const std::string& lower,
                                      const std::string* upper);
  // Adds 0.0.0.0 - 255.255.255.255.
  static void BlockAll(runtime::IpRangeList* list);
};

}  // namespace quillon::control
