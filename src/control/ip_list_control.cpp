#include "control/ip_list_control.h"

namespace quillon::control {

using runtime::IpRangeList;

IpAddFault IpListControl::Add(IpRangeList* list, const std::string& lower, const std::string* upper) {
  if (!IpRangeList::IsValidAddress(lower)) return IpAddFault::kLowerNotValid;
  if (upper != nullptr && !IpRangeList::IsValidAddress(*upper)) return IpAddFault::kUpperNotValid;
  const runtime::IpAddress first = IpRangeList::ParseAddress(lower);
  const runtime::IpAddress last = upper != nullptr ? IpRangeList::ParseAddress(*upper) : first;
  if (last < first) return IpAddFault::kUpperBelowLower;
  list->AddRange(first, last);
  return IpAddFault::kNone;
}

void IpListControl::BlockAll(IpRangeList* list) { list->AddRange({0, 0, 0, 0}, {255, 255, 255, 255}); }

}  // namespace quillon::control
