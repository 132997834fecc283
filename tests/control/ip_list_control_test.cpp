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
      // Prefixes of either family, alone; IPv6 ranges; never mixed families.
      {"10.0.0.0/8", nullptr, IpAddFault::kNone, "10.255.255.255", "11.0.0.0"},
      {"2001:db8::/48", nullptr, IpAddFault::kNone, "2001:db8:0:ffff::1", "2001:db9::"},
      {"2001:DB8::1", "2001:db8::9", IpAddFault::kNone, "2001:db8::9", "2001:db8::a"},
      {"::ffff:10.0.0.1", nullptr, IpAddFault::kNone, "10.0.0.1", "10.0.0.2"},
      {"2001:db8::/129", nullptr, IpAddFault::kLowerNotValid, "", "2001:db8::"},
      {"2001:db8::g", nullptr, IpAddFault::kLowerNotValid, "", "2001:db8::"},
      {"2001:db8::/48", "2001:db8::9", IpAddFault::kLowerNotValid, "", "2001:db8::"},
      {"10.0.0.1", "2001:db8::1", IpAddFault::kUpperNotValid, "", "10.0.0.1"},
      {"2001:db8::1", "2001:db8::/64", IpAddFault::kUpperNotValid, "", "2001:db8::1"},
      {"2001:db8::9", "2001:db8::1", IpAddFault::kUpperBelowLower, "", "2001:db8::5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lower);
    IpRangeList list;
    const std::string upper = c.upper != nullptr ? c.upper : "";
    EXPECT_EQ(IpListControl::Add(&list, c.lower, c.upper != nullptr ? &upper : nullptr), c.fault);
    EXPECT_EQ(list.Count(), c.fault == IpAddFault::kNone ? 1u : 0u);
    if (*c.inside != '\0') {
      EXPECT_TRUE(list.Contains(*runtime::IpAddress::Parse(c.inside)));
    }
    EXPECT_FALSE(list.Contains(*runtime::IpAddress::Parse(c.outside)));
  }
}

TEST(IpListControlTest, BlockAllCoversBothEndsOfTheAddressSpace) {
  IpRangeList list;
  ASSERT_EQ(IpListControl::Add(&list, "10.0.0.1", nullptr), IpAddFault::kNone);
  IpListControl::BlockAll(&list);
  // The IPv4 range as the settings file has always held it; it covers
  // every IPv6 address too, so a list saved before IPv6 blocks them.
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.EntryText(1), "0.0.0.0-255.255.255.255");
  IpRangeList loaded;
  const std::string stored = list.Serialise();
  loaded.LoadBytes(stored.data(), stored.size());
  EXPECT_TRUE(loaded.Contains(*runtime::IpAddress::Parse("2001:db8::1")));
  IpRangeList only_some;
  only_some.AddRange(IpRangeList::ParseAddress("0.0.0.0"), IpRangeList::ParseAddress("255.255.255.254"));
  EXPECT_FALSE(only_some.Contains(*runtime::IpAddress::Parse("2001:db8::1")));
  for (const char* address : {"0.0.0.0", "127.0.0.1", "255.255.255.255", "::", "2001:db8::1",
                              "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"})
    EXPECT_TRUE(list.Contains(*runtime::IpAddress::Parse(address))) << address;
}

}  // namespace
}  // namespace quillon::control
