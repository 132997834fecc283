#include "http/json_value.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon::http {
namespace {

std::string RoundTrip(std::string_view text) {
  std::string message;
  const std::optional<JsonValue> value = JsonValue::Parse(text, &message);
  return value ? value->Dump() : "refused: " + message;
}

TEST(JsonValueTest, ParsesEveryKindAndWritesItBackCompactly) {
  EXPECT_EQ(RoundTrip(" {\"a\" : [1, -2, 3.5, true, false, null], \"b\": {\"c\": \"d\"}} "),
            "{\"a\":[1,-2,3.5,true,false,null],\"b\":{\"c\":\"d\"}}");
  EXPECT_EQ(RoundTrip("[]"), "[]");
  EXPECT_EQ(RoundTrip("{}"), "{}");
  EXPECT_EQ(RoundTrip("\"x\""), "\"x\"");
  EXPECT_EQ(RoundTrip("-0"), "0");
  EXPECT_EQ(RoundTrip("[-0.0,-0e3,5e3,1e22]"), "[0,0,5000,1e+22]");
  EXPECT_EQ(RoundTrip("1e3"), "1000");
  // Integers keep all 64 bits; beyond them a number is a double.
  EXPECT_EQ(RoundTrip("9223372036854775807"), "9223372036854775807");
  EXPECT_EQ(RoundTrip("-9223372036854775808"), "-9223372036854775808");
  EXPECT_EQ(RoundTrip("18446744073709551616"), "18446744073709551616");
}

TEST(JsonValueTest, RefusesWhatIsNotOneStrictValue) {
  for (const char* text : {"", " ", "{", "[1,]", "{\"a\":1,}", "{a:1}", "'x'", "01", "1.", ".5", "-",
                           "1e", "+1", "tru", "nul", "[1] 2", "\"a\\x\"", "\"\\u12\"", "\"tab\there\"",
                           "NaN", "Infinity", "1e400", "{\"a\":1,\"a\":2}", "/*c*/1", "\"\\ud800\"",
                           "\"\\udc00\"", "\"\\ud800\\u0041\"", "\"\xC0\xAF\"", "\"\xED\xA0\x80\"",
                           "\"\xF4\x90\x80\x80\"", "\"\xE2\x82\""}) {
    std::string message;
    EXPECT_FALSE(JsonValue::Parse(text, &message).has_value()) << text;
    EXPECT_NE(message.find(" at offset "), std::string::npos) << text;
  }
}

TEST(JsonValueTest, NestingIsBoundedSoACraftedBodyCannotExhaustTheStack) {
  const std::string deep_ok = std::string(JsonValue::kMaxDepth, '[') + std::string(JsonValue::kMaxDepth, ']');
  EXPECT_EQ(RoundTrip(deep_ok), deep_ok);
  const std::string too_deep(100000, '[');
  std::string message;
  EXPECT_FALSE(JsonValue::Parse(too_deep, &message).has_value());
  EXPECT_NE(message.find("nesting too deep"), std::string::npos) << message;
}

TEST(JsonValueTest, StringsDecodeEscapesAndSurrogatePairsToUtf8) {
  std::string message;
  const auto value = JsonValue::Parse(R"("a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00")", &message);
  ASSERT_TRUE(value.has_value()) << message;
  EXPECT_EQ(value->AsString(), "a\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80");
  const auto raw = JsonValue::Parse("\"\xC3\xA9\xE2\x82\xAC\"", &message);
  ASSERT_TRUE(raw.has_value()) << message;
  EXPECT_EQ(raw->AsString(), "\xC3\xA9\xE2\x82\xAC");
}

TEST(JsonValueTest, WritingEscapesMarkupAndKeepsStrayBytesValid) {
  EXPECT_EQ(JsonValue("<b>&\"\\\n\x01\x7F").Dump(), "\"\\u003cb\\u003e\\u0026\\\"\\\\\\n\\u0001\\u007f\"");
  // Valid UTF-8 stays as it is; a stray byte is written as its Latin-1 character.
  EXPECT_EQ(JsonValue("\xC3\xA9").Dump(), "\"\xC3\xA9\"");
  EXPECT_EQ(JsonValue("a\xE9z").Dump(), "\"a\xC3\xA9z\"");
  // And what is written parses back.
  std::string message;
  EXPECT_TRUE(JsonValue::Parse(JsonValue("\xFF\xFE\x80<>").Dump(), &message).has_value()) << message;
}

TEST(JsonValueTest, ObjectsKeepOrderAndFindMembers) {
  JsonValue object = JsonValue::Object();
  object.Set("b", 1).Set("a", "x").Set("b", 2);
  EXPECT_EQ(object.Dump(), "{\"b\":2,\"a\":\"x\"}");
  ASSERT_NE(object.Find("a"), nullptr);
  EXPECT_EQ(object.Find("a")->AsString(), "x");
  EXPECT_EQ(object.Find("c"), nullptr);
  std::int64_t number = 0;
  EXPECT_TRUE(object.Find("b")->AsInteger(&number));
  EXPECT_EQ(number, 2);
}

TEST(JsonValueTest, WholeNumbersReadAsIntegersOthersDoNot) {
  std::string message;
  std::int64_t number = 0;
  EXPECT_TRUE(JsonValue::Parse("5.0", &message)->AsInteger(&number));
  EXPECT_EQ(number, 5);
  EXPECT_FALSE(JsonValue::Parse("5.5", &message)->AsInteger(&number));
  EXPECT_FALSE(JsonValue::Parse("1e19", &message)->AsInteger(&number));
  EXPECT_FALSE(JsonValue::Parse("\"5\"", &message)->AsInteger(&number));
  EXPECT_EQ(JsonValue(std::uint64_t{18446744073709551615u}).Dump(), "18446744073709551616");
}

}  // namespace
}  // namespace quillon::http
