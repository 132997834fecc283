// The IP list edits every face offers: one address, a range, and the whole
// address space, with the checks that leave the list as it was.
#include "control/ip_list_control.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon::control {
namespace {

using runtime::IpRangeList;

TEST(IpListControlTest, AddChecksTheAddressesAndTheirOrder) {
  struct Case {
    const char* lower;
    const char* upper;  // null for one address
    IpAddFault fault;
    const char* inside;   // an address the list then holds ("" when none)
    const char* outside;  // an address it does not
  };
  const Case cases[] = {
      {"10.0.0.7", nullptr, IpAddFault::kNone, "10.0.0.7", "10.0.0.8"},
      {"10.0.0.0", "10.0.0.9", IpAddFault::kNone, "10.0.0.9", "10.0.0.10"},
      {"10.0.0.5", "10.0.0.5", IpAddFault::kNone, "10.0.0.5", "10.0.0.4"},
      {"10.0.0.300", nullptr, IpAddFault::kLowerNotValid, "", "10.0.0.44"},
      {"10.0.0", "10.0.0.9", IpAddFault::kLowerNotValid, "", "10.0.0.0"},
      {"bad", "also bad", IpAddFault::kLowerNotValid, "", "10.0.0.0"},  // the lower one first
      {"10.0.0.1", "10.0.0.x", IpAddFault::kUpperNotValid, "", "10.0.0.1"},
      {"10.0.0.9", "10.0.0.1", IpAddFault::kUpperBelowLower, "", "10.0.0.5"},
      {"10.0.1.0", "10.0.0.255", IpAddFault::kUpperBelowLower, "", "10.0.1.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lower);
    IpRangeList list;
    const std::string upper = c.upper != nullptr ? c.upper : "";
    EXPECT_EQ(IpListControl::Add(&list, c.lower, c.upper != nullptr ? &upper : nullptr), c.fault);
    EXPECT_EQ(list.Count(), c.fault == IpAddFault::kNone ? 1u : 0u);
    if (*c.inside != '\0') {
      EXPECT_TRUE(list.Contains(IpRangeList::ParseAddress(c.inside)));
    }
    EXPECT_FALSE(list.Contains(IpRangeList::ParseAddress(c.outside)));
  }
}

TEST(IpListControlTest, BlockAllCoversBothEndsOfTheAddressSpace) {
  IpRangeList list;
  ASSERT_EQ(IpListControl::Add(&list, "10.0.0.1", nullptr), IpAddFault::kNone);
  IpListControl::BlockAll(&list);
  EXPECT_EQ(list.Count(), 2u);
  for (const char* address : {"0.0.0.0", "127.0.0.1", "255.255.255.255"})
    EXPECT_TRUE(list.Contains(IpRangeList::ParseAddress(address))) << address;
}

}  // namespace
}  // namespace quillon::control
