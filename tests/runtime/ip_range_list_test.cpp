#include "runtime/ip_range_list.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quillon::runtime
