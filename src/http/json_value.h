// A JSON value (RFC 8259) for the remote admin's JSON interface: parsed
// from a request body that may be hostile, and written compactly.
//
// Parsing is strict: one value, no comments, no trailing commas, strings of
// valid UTF-8 without raw control characters, and no object with a key
// twice (which copy of a key counts is not left to chance). Nesting is
// bounded (kMaxDepth) so a crafted body cannot exhaust the stack; the
// caller bounds the body's size.
//
// Numbers keep an integer exactly when the text has no fraction or
// exponent and it fits 64 bits; other numbers are doubles.
//
// Writing escapes what JSON requires and '<', '>', '&' (so a value is safe
// inside a page too). Text that is not valid UTF-8 (a disk path's bytes)
// is written with each stray byte as its Latin-1 character, so the output
// is always valid JSON.
//
// Thread-safety: a value belongs to one thread; const use may be shared.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon::http {

class JsonValue {
 public:
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
  static constexpr int kMaxDepth = 32;
  using Member = std::pair<std::string, JsonValue>;

  JsonValue() = default;  // null
  JsonValue(bool value) : type_(Type::kBool), bool_(value) {}  // NOLINT: implicit by design
  JsonValue(int value) : JsonValue(static_cast<std::int64_t>(value)) {}  // NOLINT
  JsonValue(std::int64_t value) : type_(Type::kNumber), is_integer_(true), integer_(value) {}  // NOLINT
  JsonValue(std::uint32_t value) : JsonValue(static_cast<std::int64_t>(value)) {}  // NOLINT
  JsonValue(std::uint64_t value);  // NOLINT: beyond int64's range it is kept as a double
  JsonValue(double value) : type_(Type::kNumber), real_(value) {}  // NOLINT
  JsonValue(std::string value) : type_(Type::kString), text_(std::move(value)) {}  // NOLINT
  JsonValue(std::string_view value) : JsonValue(std::string(value)) {}  // NOLINT
  JsonValue(const char* value) : JsonValue(std::string(value)) {}  // NOLINT
  static JsonValue Array() { return JsonValue(Type::kArray); }
  static JsonValue Object() { return JsonValue(Type::kObject); }

  // The value of `text`; nullopt with *message ("... at offset N") when it
  // is not one valid JSON value.
  [[nodiscard]] static std::optional<JsonValue> Parse(std::string_view text, std::string* message);

  Type GetType() const { return type_; }
  bool IsNull() const { return type_ == Type::kNull; }
  bool IsBool() const { return type_ == Type::kBool; }
  bool IsNumber() const { return type_ == Type::kNumber; }
  bool IsString() const { return type_ == Type::kString; }
  bool IsArray() const { return type_ == Type::kArray; }
  bool IsObject() const { return type_ == Type::kObject; }

  bool AsBool() const { return bool_; }
  const std::string& AsString() const { return text_; }
  // The number when it is a whole number in 64 bits (a double with no
  // fraction counts); false otherwise or for another type.
  [[nodiscard]] bool AsInteger(std::int64_t* value) const;
  double AsDouble() const { return is_integer_ ? static_cast<double>(integer_) : real_; }

  // Arrays.
  const std::vector<JsonValue>& Items() const { return items_; }
  void Append(JsonValue value) { items_.push_back(std::move(value)); }

  // Objects, in the order their members were set or parsed.
  const std::vector<Member>& Members() const { return members_; }
  // The member named `key`, or null when there is none.
  const JsonValue* Find(std::string_view key) const;
  // Sets `key` (replacing a member of that name); returns *this.
  JsonValue& Set(std::string_view key, JsonValue value);

  // Compact JSON text.
  std::string Dump() const;
  void DumpTo(std::string* out) const;
  // `text` as a JSON string literal, quotes included.
  static void AppendQuoted(std::string_view text, std::string* out);

 private:
  explicit JsonValue(Type type) : type_(type) {}
  class Parser;

  Type type_ = Type::kNull;
  bool bool_ = false;
  bool is_integer_ = false;
  std::int64_t integer_ = 0;
  double real_ = 0;
  std::string text_;
  std::vector<JsonValue> items_;
  std::vector<Member> members_;
};

}  // namespace quillon::http
