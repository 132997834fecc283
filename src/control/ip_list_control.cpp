#include "control/ip_list_control.h"

#include <optional>

namespace quillon::control {

using runtime::IpRangeList;

IpAddFault IpListControl::Add(IpRangeList* list, const std::string& lower, const std::string* upper) {
  // Alone, the lower field also takes a prefix ("2001:db8::/48"); a range
  // is two addresses of one family.
  const std::optional<runtime::IpRange> first =
      lower.find('-') == std::string::npos ? IpRangeList::ParseEntry(lower) : std::nullopt;
  if (!first || (upper != nullptr && first->first != first->last)) return IpAddFault::kLowerNotValid;
  if (upper == nullptr) {
    list->AddRange(first->first, first->last);
    return IpAddFault::kNone;
  }
  const std::optional<runtime::IpRange> last =
      upper->find_first_of("-/") == std::string::npos ? IpRangeList::ParseEntry(*upper) : std::nullopt;
  if (!last || last->first.IsIpv4() != first->first.IsIpv4()) return IpAddFault::kUpperNotValid;
  if (last->first < first->first) return IpAddFault::kUpperBelowLower;
  list->AddRange(first->first, last->first);
  return IpAddFault::kNone;
}

void IpListControl::BlockAll(IpRangeList* list) {
  // The whole IPv4 space, which covers every IPv6 address too.
  list->AddRange(IpRangeList::kWholeIpv4.first, IpRangeList::kWholeIpv4.last);
}

}  // namespace quillon::control
