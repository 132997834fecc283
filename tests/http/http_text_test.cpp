#include "http/http_text.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quillon::http {
namespace {

TEST(ReadFormNumberTest, ReadsLeadingDigitsWithinTheFieldsRange) {
  struct Case {
    const char* text;
    std::int64_t lowest;
    std::int64_t highest;
    bool accepted;
    std::int64_t value;
  };
  const Case cases[] = {
      {" +8021abc", 1, 65535, true, 8021},
      {"abc", 0, 10, true, 0},       // no digits: 0, as the fields always read it
      {"", 1, 10, false, 0},
      {"-0", 0, 10, true, 0},
      {"-1", 0, UINT32_MAX, false, 0},
      {"4294967295", 0, UINT32_MAX, true, 4294967295},
      {"4294967296", 0, UINT32_MAX, false, 0},
      {"99999999999999999999", 0, UINT32_MAX, false, 0},
      {"-99999999999999999999", INT32_MIN, INT32_MAX, false, 0},
      {"-2147483648", INT32_MIN, INT32_MAX, true, INT32_MIN},
      {"\t-7 ", INT32_MIN, INT32_MAX, true, -7},
      {"--7", INT32_MIN, INT32_MAX, true, 0},
  };
  for (const Case& c : cases) {
    std::int64_t value = 12345;
    EXPECT_EQ(ReadFormNumber(c.text, c.lowest, c.highest, &value), c.accepted) << c.text;
    EXPECT_EQ(value, c.accepted ? c.value : 12345) << c.text;  // a refusal leaves the value alone
  }
}

}  // namespace
}  // namespace quillon::http
