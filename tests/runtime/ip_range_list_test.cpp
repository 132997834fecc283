#include "runtime/ip_range_list.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quillon::runtime {
namespace {

IpAddress A(const char* text) { return IpRangeList::ParseAddress(text); }

std::vector<std::string> Texts(const IpRangeList& list) {
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < list.Count(); ++i) texts.push_back(list.EntryText(i));
  return texts;
}

TEST(IpRangeListTest, AddRefusesReversedRangesAndStoresDuplicatesOnce) {
  IpRangeList list;
  EXPECT_FALSE(list.AddRange(A("10.0.0.9"), A("10.0.0.1")));
  EXPECT_TRUE(list.AddRange(A("10.0.0.1"), A("10.0.0.9")));
  EXPECT_TRUE(list.AddRange(A("10.0.0.1"), A("10.0.0.9")));
  EXPECT_TRUE(list.AddAddress(A("192.168.1.2")));
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"10.0.0.1-10.0.0.9", "192.168.1.2"}));
}

TEST(IpRangeListTest, ContainsComparesWithTheFirstNumberMostSignificant) {
  IpRangeList list;
  ASSERT_TRUE(list.AddRange(A("10.0.0.1"), A("10.0.0.9")));
  EXPECT_TRUE(list.Contains(A("10.0.0.5")));
  EXPECT_FALSE(list.Contains(A("10.0.1.0")));

  IpRangeList other;
  ASSERT_TRUE(other.AddRange(A("10.0.1.0"), A("10.0.1.255")));
  EXPECT_FALSE(other.Contains(A("10.0.0.5")));

  IpRangeList across;
  ASSERT_TRUE(across.AddRange(A("9.255.255.255"), A("10.0.0.0")));
  EXPECT_TRUE(across.Contains(A("10.0.0.0")));
  EXPECT_TRUE(across.Contains(A("9.255.255.255")));
  EXPECT_FALSE(across.Contains(A("10.0.0.1")));
  EXPECT_FALSE(across.Contains(A("9.255.255.254")));
}

TEST(IpRangeListTest, RemoveByTextAndIndex) {
  IpRangeList list;
  list.AddAddress(A("1.1.1.1"));
  list.AddRange(A("2.0.0.0"), A("2.0.0.9"));
  list.AddAddress(A("3.3.3.3"));
  list.RemoveText("2.0.0.0-2.0.0.9");
  list.RemoveText("9.9.9.9");
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"1.1.1.1", "3.3.3.3"}));
  list.RemoveAt(0);
  list.RemoveAt(7);  // out of range: nothing
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"3.3.3.3"}));
}

TEST(IpRangeListTest, SerialisedFormIsEightBytesPerRange) {
  IpRangeList list;
  list.AddRange(A("10.0.0.1"), A("10.0.0.255"));
  list.AddAddress(A("192.168.1.2"));
  const std::string bytes = list.Serialise();
  EXPECT_EQ(bytes, std::string("\x0A\x00\x00\x01\x0A\x00\x00\xFF\xC0\xA8\x01\x02\xC0\xA8\x01\x02", 16));

  IpRangeList loaded;
  loaded.AddAddress(A("7.7.7.7"));
  loaded.LoadBytes(bytes.data(), bytes.size() + 0);
  EXPECT_EQ(loaded, list);
  loaded.LoadBytes(bytes.data(), 12);  // a partial range is ignored
  EXPECT_EQ(Texts(loaded), (std::vector<std::string>{"10.0.0.1-10.0.0.255"}));
  loaded.LoadBytes(bytes.data(), 7);
  EXPECT_EQ(loaded.Count(), 0u);
}

TEST(IpRangeListTest, UnionAppendsWhatIsMissing) {
  IpRangeList list;
  list.AddAddress(A("1.1.1.1"));
  IpRangeList other;
  other.AddAddress(A("1.1.1.1"));
  other.AddAddress(A("2.2.2.2"));
  list.Union(other);
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"1.1.1.1", "2.2.2.2"}));
}

TEST(IpRangeListTest, IntersectKeepsExactlyTheCommonAddresses) {
  IpRangeList list;
  list.AddRange(A("10.0.0.0"), A("10.0.0.255"));
  IpRangeList other;
  other.AddRange(A("10.0.0.128"), A("10.0.1.255"));
  list.Intersect(other);
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"10.0.0.128-10.0.0.255"}));

  // Overlapping ranges inside one list still count as one covered area.
  IpRangeList wide;
  wide.AddRange(A("10.0.0.0"), A("10.0.0.10"));
  IpRangeList overlapping;
  overlapping.AddRange(A("10.0.0.0"), A("10.0.0.5"));
  overlapping.AddRange(A("10.0.0.3"), A("10.0.0.10"));
  wide.Intersect(overlapping);
  for (int last = 0; last <= 12; ++last) {
    const IpAddress address{10, 0, 0, static_cast<std::uint8_t>(last)};
    EXPECT_EQ(wide.Contains(address), last <= 10) << last;
  }

  IpRangeList everything;
  everything.AddRange(A("0.0.0.0"), A("255.255.255.255"));
  IpRangeList single;
  single.AddAddress(A("255.255.255.255"));
  everything.Intersect(single);
  EXPECT_EQ(Texts(everything), (std::vector<std::string>{"255.255.255.255"}));

  IpRangeList empty;
  single.Intersect(empty);
  EXPECT_EQ(single.Count(), 0u);
}

TEST(IpRangeListTest, ValidAddressesAreFourDecimalNumbers) {
  for (const char* good : {"0.0.0.0", "1.2.3.4", "255.255.255.255", "010.1.1.1"})
    EXPECT_TRUE(IpRangeList::IsValidAddress(good)) << good;
  for (const char* bad : {"", "1.2.3.256", "10.1", "10", "1.2.3.4.5", "1.2.3.", ".1.2.3",
                          "1..2.3", "a.b.c.d", "1.2.3.4 ", " 1.2.3.4", "0x7f.0.0.1", "1.2.3.1000",
                          "-1.2.3.4"})
    EXPECT_FALSE(IpRangeList::IsValidAddress(bad)) << bad;
  EXPECT_EQ(IpRangeList::AddressText(A("010.1.1.1")), "10.1.1.1");
  EXPECT_EQ(IpRangeList::AddressText(A("300.1.1.1")), "0.0.0.0");
}

IpAddress V6(const char* text) { return *IpAddress::Parse(text); }

TEST(IpRangeListTest, Ipv6EntriesReadAsAddressesPrefixesAndRanges) {
  struct Case {
    const char* text;
    const char* shown;  // the entry's text once added ("" when refused)
    const char* first;
    const char* last;
  };
  const Case cases[] = {
      {"2001:DB8::1", "2001:db8::1", "2001:db8::1", "2001:db8::1"},
      {"2001:db8:0:0:0:0:0:0/48", "2001:db8::/48", "2001:db8::", "2001:db8:0:ffff:ffff:ffff:ffff:ffff"},
      {"2001:db8::77/64", "2001:db8::/64", "2001:db8::", "2001:db8::ffff:ffff:ffff:ffff"},
      {"::/0", "::/0", "::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
      {"2001:db8::5-2001:db8::1:0", "2001:db8::5-2001:db8::1:0", "2001:db8::5", "2001:db8::1:0"},
      // IPv4 in its usual forms, a prefix counted in its own 32 bits.
      {"10.1.2.3/8", "10.0.0.0-10.255.255.255", "10.0.0.0", "10.255.255.255"},
      {"::ffff:10.0.0.1", "10.0.0.1", "10.0.0.1", "10.0.0.1"},
      {"::ffff:10.1.0.0/104", "10.0.0.0-10.255.255.255", "10.0.0.0", "10.255.255.255"},
      {"::ffff:0:0/96", "0.0.0.0-255.255.255.255", "0.0.0.0", "255.255.255.255"},
      {"010.0.0.1", "10.0.0.1", "10.0.0.1", "10.0.0.1"},
      // Refused: no address, bad bits, mixed families, reversed.
      {"2001:db8::/129", "", "", ""},
      {"10.0.0.0/33", "", "", ""},
      {"2001:db8::/", "", "", ""},
      {"2001:db8::/-1", "", "", ""},
      {"10.0.0.1-2001:db8::1", "", "", ""},
      {"2001:db8::9-2001:db8::1", "", "", ""},
      {"[::1]", "", "", ""},
      {"fe80::1%eth0", "", "", ""},
      {"1:2:3:4:5:6:7:8:9", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<IpRange> range = IpRangeList::ParseEntry(c.text);
    ASSERT_EQ(range.has_value(), *c.shown != '\0');
    if (!range) continue;
    EXPECT_EQ(range->first, V6(c.first));
    EXPECT_EQ(range->last, V6(c.last));
    IpRangeList list;
    ASSERT_TRUE(list.AddRange(range->first, range->last));
    EXPECT_EQ(list.EntryText(0), c.shown);
    EXPECT_EQ(IpRangeList::ParseEntry(list.EntryText(0)), range);  // the text reads back
  }
}

TEST(IpRangeListTest, TheStoredFormKeepsIpv4AndTheCompanionTextsTheRest) {
  IpRangeList list;
  list.AddAddress(A("10.0.0.1"));
  list.AddRange(V6("2001:db8::"), V6("2001:db8::ffff"));
  list.AddAddress(V6("::1"));
  list.AddRange(A("192.168.0.0"), A("192.168.0.255"));
  EXPECT_EQ(list.Serialise(), std::string("\x0A\x00\x00\x01\x0A\x00\x00\x01\xC0\xA8\x00\x00\xC0\xA8\x00\xFF", 16));
  EXPECT_EQ(list.Ipv6EntryTexts(), (std::vector<std::string>{"2001:db8::/112", "::1"}));
  EXPECT_TRUE(list.Contains(V6("2001:db8::abcd")));
  EXPECT_FALSE(list.Contains(V6("2001:db8::1:0")));
  EXPECT_TRUE(list.Contains(A("10.0.0.1")));
  EXPECT_FALSE(list.Contains(V6("::ffff:10.0.0.2")));
}

TEST(IpRangeListTest, IntersectWorksAcrossTheWholeIpv6Space) {
  IpRangeList everything;
  everything.AddRange(V6("::"), V6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));
  IpRangeList some;
  some.AddRange(V6("2001:db8::"), V6("2001:db8::ff"));
  some.AddAddress(V6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));
  some.AddAddress(A("10.0.0.1"));
  everything.Intersect(some);
  EXPECT_EQ(Texts(everything), (std::vector<std::string>{"10.0.0.1", "2001:db8::/120",
                                                          "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"}));
  IpRangeList v4_part;
  v4_part.AddRange(A("10.0.0.0"), A("10.255.255.255"));
  some.Intersect(v4_part);
  EXPECT_EQ(Texts(some), (std::vector<std::string>{"10.0.0.1"}));

  // The whole IPv4 space stands for every address, also in an intersection.
  IpRangeList whole_v4, v6_part;
  whole_v4.AddRange(A("0.0.0.0"), A("255.255.255.255"));
  v6_part.AddRange(V6("2001:db8::"), V6("2001:db8::ff"));
  v6_part.Intersect(whole_v4);
  EXPECT_EQ(Texts(v6_part), (std::vector<std::string>{"2001:db8::/120"}));
  IpRangeList narrowed = whole_v4;
  IpRangeList v6_and_v4;
  v6_and_v4.AddAddress(V6("2001:db8::7"));
  v6_and_v4.AddAddress(A("10.0.0.1"));
  narrowed.Intersect(v6_and_v4);
  EXPECT_EQ(Texts(narrowed), (std::vector<std::string>{"10.0.0.1", "2001:db8::7"}));
}

TEST(IpAddressTest, LimitsCountAnIpv6ClientByItsSlash64) {
  EXPECT_EQ(V6("2001:db8:1:2:aaaa::1").LimitKey(), V6("2001:db8:1:2:ffff::9").LimitKey());
  EXPECT_NE(V6("2001:db8:1:2::1").LimitKey(), V6("2001:db8:1:3::1").LimitKey());
  EXPECT_EQ(V6("2001:db8:1:2:aaaa::1").LimitKeyText(), "2001:db8:1:2::/64");
  EXPECT_EQ(A("10.0.0.1").LimitKey(), A("10.0.0.1"));
  EXPECT_NE(A("10.0.0.1").LimitKey(), A("10.0.0.2").LimitKey());
  EXPECT_EQ(A("10.0.0.1").LimitKeyText(), "10.0.0.1");
  EXPECT_EQ(V6("::ffff:10.0.0.1"), A("10.0.0.1"));
  EXPECT_EQ(V6("::ffff:10.0.0.1").Text(), "10.0.0.1");
  EXPECT_EQ(V6("2001:0db8:0000:0000:0000:0000:0000:0001").Text(), "2001:db8::1");
  EXPECT_FALSE(IpAddress::Parse("localhost").has_value());
  EXPECT_FALSE(IpAddress::Parse(std::string_view("::1\0", 4)).has_value());
}

}  // namespace
}  // namespace quillon::runtime
