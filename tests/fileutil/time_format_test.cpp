#include "fileutil/time_format.h"

#include <gtest/gtest.h>

namespace quillon::fileutil {
namespace {

using platform::FileTime;

constexpr std::int64_t k20030307090500 = 1047027900;  // Fri 7 March 2003 09:05:00 UTC
constexpr std::int64_t kYear10000 = 253402300800;     // 1 January 10000 00:00:00 UTC

TEST(TimeFormatTest, ListHttpAndMdtmTexts) {
  const FileTime time{k20030307090500, 0};
  EXPECT_EQ(FormatFileTime(time, TimeFormat::kList, false), "Mar 07 09:05");
  EXPECT_EQ(FormatFileTime(time, TimeFormat::kHttp, false), "Fri, 07 Mar 2003 09:05:00");
  EXPECT_EQ(FormatMdtm(time, false), "20030307090500");
  // Two-digit fields from 10 up have no leading zero to add.
  const FileTime later{1796443629 + 6 * 86400 + 3600 * 19 + 60 * 50 + 40, 0};
  EXPECT_EQ(FormatFileTime(later, TimeFormat::kHttp, false), "Fri, 11 Dec 2026 23:57:49");
}

TEST(TimeFormatTest, YearTenThousandIsOutOfRangeForMdtm) {
  EXPECT_EQ(FormatMdtm(FileTime{kYear10000, 0}, false), "19000101000000");
  EXPECT_EQ(FormatMdtm(FileTime{kYear10000 - 1, 0}, false), "99991231235959");
}

TEST(TimeFormatTest, ParseMdtmAcceptsRealDatesOnly) {
  FileTime parsed;
  ASSERT_TRUE(ParseMdtm("20030307090500", &parsed));
  EXPECT_EQ(parsed.seconds, k20030307090500);
  ASSERT_TRUE(ParseMdtm("20030307090500.123 extra", &parsed));  // only 14 characters are read
  EXPECT_EQ(parsed.seconds, k20030307090500);
  ASSERT_TRUE(ParseMdtm("20240229120000", &parsed));  // a leap day

  const char* rejected[] = {"2003030709050",   // too short
                            "20031307090500",  // month 13
                            "20030230090500",  // 30 February
                            "20230229120000",  // no leap day in 2023
                            "20030307240000",  // hour 24
                            "20030307096000",  // minute 60
                            "2003-3-7090500"};
  for (const char* text : rejected) EXPECT_FALSE(ParseMdtm(text, &parsed)) << text;
}

TEST(TimeFormatTest, MdtmRoundTrips) {
  for (std::int64_t seconds : {std::int64_t{0}, k20030307090500, std::int64_t{4102444799}}) {
    FileTime parsed;
    ASSERT_TRUE(ParseMdtm(FormatMdtm(FileTime{seconds, 0}, false), &parsed));
    EXPECT_EQ(parsed.seconds, seconds);
  }
}

}  // namespace
}  // namespace quillon::fileutil
